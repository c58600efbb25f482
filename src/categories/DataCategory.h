// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QHashFunctions>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kivo {

enum class HomeLayoutKind;

// One explanatory line of a category; `path` when the line names a location.
struct CategoryDetail {
    QString label;
    std::optional<QString> path;

    QJsonObject toJson() const;
    static CategoryDetail fromJson(const QJsonObject& o); // throws DecodingError
    bool operator==(const CategoryDetail&) const = default;
};

// A kind of data the user can choose to move. `paths` are "~/"-relative.
struct DataCategory {
    QString id;
    QString displayName;
    QString description;
    QString iconName;
    QStringList paths;
    QList<CategoryDetail> details;
    bool isSelected = false;
    std::uint64_t estimatedSize = 0;
    bool isSensitive = false;
    std::optional<QString> sensitivityWarning;

    QJsonObject toJson() const;
    static DataCategory fromJson(const QJsonObject& o); // throws DecodingError
    bool operator==(const DataCategory&) const = default;

    // The five selectable categories of a layout (HomeLayout.h), in display
    // order, unselected and unsized; without one, a Mac-shaped home's.
    static const QList<DataCategory>& allCategories();
    static const QList<DataCategory>& allCategories(HomeLayoutKind layout);
    // Names developer-tool items in a manifest; never part of the selectable list.
    static const DataCategory& engineeringTools();
    // Looks the id up in a Mac-shaped home's categories, then engineeringTools.
    static std::optional<DataCategory> find(const QString& id);
};

size_t qHash(const CategoryDetail& detail, size_t seed = 0) noexcept;
size_t qHash(const DataCategory& category, size_t seed = 0) noexcept;

} // namespace kivo
