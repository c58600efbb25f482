// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

namespace kivo {

// Every occurrence of `pattern` becomes `replacement`: plain, case-sensitive substring.
struct PathRewriteRule {
    QString pattern;
    QString replacement;

    QJsonObject toJson() const;
    static PathRewriteRule fromJson(const QJsonObject& o);
    bool operator==(const PathRewriteRule&) const = default;
};

// The confirmed pairing of a source account with a destination account.
struct UserMapping {
    QString sourceUsername;
    QString sourceHomeFolder;
    QString destinationUsername;
    QString destinationHomeFolder;
    bool destinationIsMDMManaged = false;
    QList<PathRewriteRule> pathRewriteRules;

    // The two rules a mapping between different home folders carries, in order.
    static UserMapping make(const QString& sourceUser, const QString& sourceHome, const QString& destinationUser,
                            const QString& destinationHome, bool destinationIsMDMManaged = false);

    bool changesHomeFolder() const { return sourceHomeFolder != destinationHomeFolder; }
    // The rules applied in order to one path or text.
    QString apply(const QString& text) const;

    QJsonObject toJson() const;
    static UserMapping fromJson(const QJsonObject& o); // throws DecodingError
    bool operator==(const UserMapping&) const = default;
};

} // namespace kivo
