// SPDX-License-Identifier: Apache-2.0
#include "vault/SettingsChanges.h"

#include "categories/LinuxSettingsRules.h"

#include <QSet>

namespace kivo {

namespace {

QString folderOf(const QByteArray& group)
{
    QString dir = QString::fromUtf8(group).trimmed();
    while (dir.startsWith(u'/'))
        dir.remove(0, 1);
    while (dir.endsWith(u'/'))
        dir.chop(1);
    return dir;
}

} // namespace

SettingsValues parseSettings(const QByteArray& keyfile)
{
    SettingsValues out;
    std::optional<QString> folder; // keys before any group belong nowhere
    for (const QByteArray& raw : keyfile.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[') && line.endsWith(']')) {
            folder = folderOf(line.mid(1, line.size() - 2));
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        const QString name = QString::fromUtf8(line.left(equals)).trimmed();
        if (!folder || equals <= 0 || name.isEmpty() || name.contains(u'/'))
            continue;
        const QString key = folder->isEmpty() ? u'/' + name : u'/' + *folder + u'/' + name;
        out.insert(key, QString::fromUtf8(line.mid(equals + 1)).trimmed());
    }
    return out;
}

QByteArray settingsKeyfile(const SettingsValues& values)
{
    QMap<QString, QByteArray> groups;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const qsizetype slash = it.key().lastIndexOf(u'/');
        const QString folder = slash <= 0 ? QStringLiteral("/") : it.key().mid(1, slash - 1);
        groups[folder] += it.key().mid(slash + 1).toUtf8() + '=' + it.value().toUtf8() + '\n';
    }
    QByteArray out;
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        if (!out.isEmpty())
            out += '\n';
        out += '[' + it.key().toUtf8() + "]\n" + it.value();
    }
    return out;
}

SettingsRollbackPlan planSettingsRollback(const SettingsValues& before, const std::optional<SettingsValues>& after,
                                          const SettingsValues& now)
{
    const auto valueIn = [](const SettingsValues& values, const QString& key) -> std::optional<QString> {
        const auto it = values.constFind(key);
        return it == values.cend() ? std::nullopt : std::optional<QString>(*it);
    };
    QStringList keys = before.keys() + (after ? after->keys() : now.keys());
    keys.removeDuplicates();
    keys.sort();
    SettingsRollbackPlan plan;
    for (const QString& key : std::as_const(keys)) {
        if (desktopSettings::isDenied(key))
            continue;
        const std::optional<QString> was = valueIn(before, key);
        const std::optional<QString> is = valueIn(now, key);
        if ((after && valueIn(*after, key) == was) || is == was)
            continue; // the migration left it alone, or it is back as it was
        if (!after || is != valueIn(*after, key))
            plan.changedSince << key;
        if (was)
            plan.restore.insert(key, *was);
        else
            plan.reset << key;
    }
    return plan;
}

} // namespace kivo
