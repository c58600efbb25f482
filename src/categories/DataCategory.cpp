// SPDX-License-Identifier: Apache-2.0
#include "categories/DataCategory.h"

#include "categories/HomeLayout.h"
#include "platform/Json.h"

#include <QJsonArray>

namespace kivo {


QJsonObject CategoryDetail::toJson() const
{
    QJsonObject o{{QStringLiteral("label"), label}};
    json::put(o, "path", path);
    return o;
}

CategoryDetail CategoryDetail::fromJson(const QJsonObject& o)
{
    return CategoryDetail{json::requireString(o, "label"), json::optionalString(o, "path")};
}

QJsonObject DataCategory::toJson() const
{
    QJsonArray detailArray;
    for (const CategoryDetail& d : details)
        detailArray.append(d.toJson());
    QJsonObject o{{QStringLiteral("id"), id},
                  {QStringLiteral("displayName"), displayName},
                  {QStringLiteral("description"), description},
                  {QStringLiteral("iconName"), iconName},
                  {QStringLiteral("paths"), json::toArray(paths)},
                  {QStringLiteral("details"), detailArray},
                  {QStringLiteral("isSelected"), isSelected},
                  {QStringLiteral("estimatedSize"), static_cast<double>(estimatedSize)},
                  {QStringLiteral("isSensitive"), isSensitive}};
    json::put(o, "sensitivityWarning", sensitivityWarning);
    return o;
}

DataCategory DataCategory::fromJson(const QJsonObject& o)
{
    DataCategory c;
    c.id = json::requireString(o, "id");
    c.displayName = json::requireString(o, "displayName");
    c.description = json::requireString(o, "description");
    c.iconName = json::requireString(o, "iconName");
    c.paths = json::requireStringList(o, "paths");
    c.details = json::requireRecords<CategoryDetail>(o, "details");
    c.isSelected = json::requireBool(o, "isSelected");
    c.estimatedSize = json::requireUInt64(o, "estimatedSize");
    c.isSensitive = json::requireBool(o, "isSensitive");
    c.sensitivityWarning = json::optionalString(o, "sensitivityWarning");
    return c;
}

const QList<DataCategory>& DataCategory::allCategories() { return HomeLayout::of(HomeLayoutKind::MacOS).categories; }

const QList<DataCategory>& DataCategory::allCategories(HomeLayoutKind layout) { return HomeLayout::of(layout).categories; }

std::optional<DataCategory> DataCategory::find(const QString& id) { return HomeLayout::of(HomeLayoutKind::MacOS).find(id); }

size_t qHash(const CategoryDetail& detail, size_t seed) noexcept
{
    return qHashMulti(seed, detail.label, detail.path.has_value(), detail.path.value_or(QString()));
}

size_t qHash(const DataCategory& c, size_t seed) noexcept
{
    size_t h = qHashMulti(seed, c.id, c.displayName, c.description, c.iconName, c.paths, c.isSelected,
                          quint64(c.estimatedSize), c.isSensitive, c.sensitivityWarning.has_value(),
                          c.sensitivityWarning.value_or(QString()));
    return qHashRange(c.details.cbegin(), c.details.cend(), h);
}

} // namespace kivo
