// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <exception>
#include <string>

namespace kivo {

// Base of every error that reaches the user: description() is the text shown.
class Error : public std::exception {
public:
    virtual QString description() const = 0;
    const char* what() const noexcept override
    {
        m_what = description().toStdString();
        return m_what.c_str();
    }

private:
    mutable std::string m_what;
};

// A failure of the operating system or the network stack, passed on with its own text.
class SystemError : public Error {
public:
    explicit SystemError(QString message) : m_message(std::move(message)) {}
    QString description() const override { return m_message; }

private:
    QString m_message;
};

// A system service kivo needs cannot be used (the Secret Service, a locked keyring).
class ServiceUnavailable : public SystemError {
public:
    using SystemError::SystemError;
};

// A JSON document that does not match the record it should hold.
class DecodingError : public Error {
public:
    explicit DecodingError(QString message) : m_message(std::move(message)) {}
    QString description() const override { return m_message; }

private:
    QString m_message;
};

// The description of any exception, for logs and user-facing fields.
inline QString describe(const std::exception& e)
{
    if (auto* err = dynamic_cast<const Error*>(&e))
        return err->description();
    return QString::fromUtf8(e.what());
}

} // namespace kivo
