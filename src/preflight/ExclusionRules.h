// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

namespace kivo {

// A folder the migration can leave out because a tool regenerates it.
struct ExclusionRule {
    QString name;                          // the folder name that triggers it
    QString label;                         // the name followed by "/"
    std::optional<QStringList> requiredSibling; // one of these must sit beside it
    QString regenerationHint;

    // The rules in matching order.
    static const QList<ExclusionRule>& all();
};

// The rule for a folder called `name` among `siblings` (every entry name of
// its parent): the first rule of that name, when its sibling condition holds.
// A listed sibling beginning with "." stands for any entry with that extension.
const ExclusionRule* matchExclusionRule(const QString& name, const QSet<QString>& siblings);

// The project a folder among `siblings` belongs to: the parent folder's name
// (`parentName`) when it holds a package manifest, an Xcode project's name when
// it holds one; nothing otherwise.
std::optional<QString> projectNameFor(const QString& parentName, const QSet<QString>& siblings);

} // namespace kivo
