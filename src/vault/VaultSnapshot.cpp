// SPDX-License-Identifier: Apache-2.0
#include "vault/VaultSnapshot.h"

#include "platform/Json.h"

#include <QJsonArray>
#include <QRandomGenerator>

#include <algorithm>

namespace kivo {

const CategorySnapshot* VaultSnapshot::category(const QString& wanted) const
{
    for (const CategorySnapshot& c : categories)
        if (c.category == wanted)
            return &c;
    return nullptr;
}

QJsonObject VaultSnapshot::toJson() const
{
    QJsonArray cats;
    for (const CategorySnapshot& c : categories)
        cats.append(QJsonObject{{QStringLiteral("category"), c.category},
                                {QStringLiteral("engineSnapshot"), c.engineSnapshot},
                                {QStringLiteral("files"), double(c.files)},
                                {QStringLiteral("bytes"), double(c.bytes)}});
    return {{QStringLiteral("id"), id},
            {QStringLiteral("kind"), kind},
            {QStringLiteral("time"), json::formatDate(time)},
            {QStringLiteral("host"), host},
            {QStringLiteral("username"), username},
            {QStringLiteral("home"), home},
            {QStringLiteral("migrationID"), migrationID.isEmpty() ? QJsonValue() : QJsonValue(migrationID)},
            {QStringLiteral("categories"), cats}};
}

QList<VaultSnapshot> groupSnapshots(const QList<restic::Snapshot>& engineSnapshots)
{
    QList<VaultSnapshot> out;
    for (const restic::Snapshot& s : engineSnapshots) {
        const auto tags = restic::tagValues(s.tags);
        const QString id = tags.value(QStringLiteral("snapshot"));
        const QString category = tags.value(QStringLiteral("category"));
        if (!s.tags.contains(QLatin1String("kivo")) || id.isEmpty() || category.isEmpty())
            continue;
        auto it = std::find_if(out.begin(), out.end(), [&](const VaultSnapshot& v) { return v.id == id; });
        if (it == out.end()) {
            VaultSnapshot v;
            v.id = id;
            v.kind = tags.value(QStringLiteral("kind"), QStringLiteral("manual"));
            v.time = s.time;
            v.host = s.hostname;
            v.username = tags.value(QStringLiteral("user"), s.username);
            v.home = tags.value(QStringLiteral("home"));
            v.migrationID = tags.value(QStringLiteral("migration"));
            out << v;
            it = out.end() - 1;
        }
        it->time = std::min(it->time, s.time);
        CategorySnapshot c{category, s.id, tags.value(QStringLiteral("files")).toULongLong(),
                           tags.value(QStringLiteral("bytes")).toULongLong(), s.paths};
        it->categories << c;
    }
    std::stable_sort(out.begin(), out.end(), [](const VaultSnapshot& a, const VaultSnapshot& b) { return a.time < b.time; });
    return out;
}

const VaultSnapshot& pickSnapshot(const QList<VaultSnapshot>& snapshots, const QString& name,
                                  const std::optional<QString>& category)
{
    QList<const VaultSnapshot*> candidates;
    for (const VaultSnapshot& s : snapshots)
        if (!category || s.category(*category))
            candidates << &s;
    const auto unknown = [&] {
        return VaultError(VaultErrorKind::unknownSnapshot,
                          category ? QStringLiteral("no snapshot \"%1\" with the category %2 in the vault").arg(name, *category)
                                   : QStringLiteral("no snapshot \"%1\" in the vault").arg(name));
    };
    if (name == QLatin1String("latest")) {
        if (candidates.isEmpty())
            throw unknown();
        return *candidates.last();
    }
    for (const VaultSnapshot* s : candidates)
        if (s->id == name)
            return *s;
    // A start of an id must be long enough not to be a guess.
    if (name.size() < 4)
        throw unknown();
    const VaultSnapshot* found = nullptr;
    for (const VaultSnapshot* s : candidates) {
        bool matches = s->id.startsWith(name);
        for (const CategorySnapshot& c : s->categories)
            matches = matches || c.engineSnapshot.startsWith(name);
        if (!matches)
            continue;
        if (found && found != s)
            throw VaultError(VaultErrorKind::unknownSnapshot, QStringLiteral("\"%1\" names more than one snapshot").arg(name));
        found = s;
    }
    if (!found)
        throw unknown();
    return *found;
}

QString newSnapshotID()
{
    return QStringLiteral("%1").arg(QRandomGenerator::system()->generate64() & 0xffffffffffULL, 10, 16, QLatin1Char('0'));
}

} // namespace kivo
