// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QSharedData>

#include <memory>
#include <optional>
#include <utility>

namespace kivo {

// An optional value kept behind a pointer: 8 bytes where it is absent, for
// fields that are absent in nearly every one of hundreds of thousands of
// records. Reads and assigns like std::optional.
template <typename T>
class BoxedOptional {
public:
    BoxedOptional() = default;
    BoxedOptional(std::nullopt_t) {}
    BoxedOptional(T value) : m_value(std::make_unique<T>(std::move(value))) {}
    BoxedOptional(const std::optional<T>& value)
    {
        if (value)
            m_value = std::make_unique<T>(*value);
    }
    BoxedOptional(const BoxedOptional& other) : BoxedOptional(other.get()) {}
    BoxedOptional(BoxedOptional&&) noexcept = default;
    BoxedOptional& operator=(const BoxedOptional& other)
    {
        if (this != &other)
            m_value = other.m_value ? std::make_unique<T>(*other.m_value) : nullptr;
        return *this;
    }
    BoxedOptional& operator=(BoxedOptional&&) noexcept = default;

    bool has_value() const { return bool(m_value); }
    explicit operator bool() const { return has_value(); }
    const T& operator*() const { return *m_value; }
    T& operator*() { return *m_value; }
    const T* operator->() const { return m_value.get(); }
    T* operator->() { return m_value.get(); }
    T value_or(T fallback) const { return m_value ? *m_value : std::move(fallback); }
    void reset() { m_value.reset(); }
    std::optional<T> get() const { return m_value ? std::optional<T>(*m_value) : std::nullopt; }
    operator std::optional<T>() const { return get(); }

    friend bool operator==(const BoxedOptional& a, const BoxedOptional& b)
    {
        return a.m_value && b.m_value ? *a.m_value == *b.m_value : a.m_value == b.m_value;
    }
    friend bool operator==(const BoxedOptional& a, const T& b) { return a.m_value && *a.m_value == b; }

private:
    std::unique_ptr<T> m_value;
};

// An immutable value kept behind a shared pointer: 8 bytes where the value
// itself takes 24 (a string, a list), and copies share one box. Empty when
// default-constructed or given an empty value; reads as the value.
template <typename T>
class SharedBox {
public:
    SharedBox() = default;
    SharedBox(T value)
    {
        if (!value.isEmpty())
            m_box = new Box(std::move(value));
    }

    SharedBox& operator=(T value) { return *this = SharedBox(std::move(value)); }

    const T& get() const
    {
        static const T empty;
        return m_box ? m_box->value : empty;
    }
    operator const T&() const { return get(); }
    bool isEmpty() const { return !m_box; }
    auto begin() const { return get().begin(); }
    auto end() const { return get().end(); }

    friend bool operator==(const SharedBox& a, const SharedBox& b) { return a.m_box == b.m_box || a.get() == b.get(); }

private:
    struct Box : QSharedData {
        explicit Box(T v) : value(std::move(v)) {}
        T value;
    };
    QExplicitlySharedDataPointer<const Box> m_box;
};

} // namespace kivo
