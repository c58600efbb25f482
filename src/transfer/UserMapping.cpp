// SPDX-License-Identifier: Apache-2.0
#include "transfer/UserMapping.h"

#include "platform/Json.h"

#include <QJsonArray>

namespace kivo {

QJsonObject PathRewriteRule::toJson() const
{
    return {{QStringLiteral("pattern"), pattern}, {QStringLiteral("replacement"), replacement}};
}

PathRewriteRule PathRewriteRule::fromJson(const QJsonObject& o)
{
    return {json::requireString(o, "pattern"), json::requireString(o, "replacement")};
}

UserMapping UserMapping::make(const QString& sourceUser, const QString& sourceHome, const QString& destinationUser,
                              const QString& destinationHome, bool destinationIsMDMManaged)
{
    UserMapping m{sourceUser, sourceHome, destinationUser, destinationHome, destinationIsMDMManaged, {}};
    if (sourceHome != destinationHome) {
        m.pathRewriteRules.append({sourceHome, destinationHome});
        m.pathRewriteRules.append({QStringLiteral("/Users/") + sourceUser, QStringLiteral("/Users/") + destinationUser});
    }
    return m;
}

QString UserMapping::apply(const QString& text) const
{
    QString out = text;
    for (const PathRewriteRule& rule : pathRewriteRules)
        out.replace(rule.pattern, rule.replacement);
    return out;
}

QJsonObject UserMapping::toJson() const
{
    QJsonArray rules;
    for (const PathRewriteRule& r : pathRewriteRules)
        rules.append(r.toJson());
    return {{QStringLiteral("sourceUsername"), sourceUsername},
            {QStringLiteral("sourceHomeFolder"), sourceHomeFolder},
            {QStringLiteral("destinationUsername"), destinationUsername},
            {QStringLiteral("destinationHomeFolder"), destinationHomeFolder},
            {QStringLiteral("destinationIsMDMManaged"), destinationIsMDMManaged},
            {QStringLiteral("pathRewriteRules"), rules}};
}

UserMapping UserMapping::fromJson(const QJsonObject& o)
{
    UserMapping m;
    m.sourceUsername = json::requireString(o, "sourceUsername");
    m.sourceHomeFolder = json::requireString(o, "sourceHomeFolder");
    m.destinationUsername = json::requireString(o, "destinationUsername");
    m.destinationHomeFolder = json::requireString(o, "destinationHomeFolder");
    m.destinationIsMDMManaged = json::requireBool(o, "destinationIsMDMManaged");
    m.pathRewriteRules = json::requireRecords<PathRewriteRule>(o, "pathRewriteRules");
    return m;
}

} // namespace kivo
