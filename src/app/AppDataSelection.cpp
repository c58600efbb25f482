// SPDX-License-Identifier: Apache-2.0
#include "app/AppDataSelection.h"

#include <QSet>

namespace kivo {

AppDataSelection appDataSelection(const QList<AppCompatibilityEntry>& apps,
                                  const QHash<QString, AppCompatibilityEntry::UserChoice>& choices,
                                  bool transferMissingByDefault)
{
    using C = AppCompatibilityEntry::UserChoice;
    AppDataSelection out;
    for (const AppCompatibilityEntry& app : apps) {
        if (app.status != AppCompatibilityEntry::Status::missing)
            continue;
        const C choice = choices.value(app.identity(), transferMissingByDefault ? C::transferAnyway : C::skip);
        QStringList& into = choice == C::skip ? out.leftOut : out.sent;
        for (const QString& path : app.dataPaths.isEmpty() ? QStringList{app.dataPath} : app.dataPaths)
            if (!path.isEmpty() && !into.contains(path))
                into.append(path);
    }
    out.leftOut.removeIf([&out](const QString& path) { return out.sent.contains(path); });
    return out;
}

void leaveOutAppData(TransferManifest& manifest, const QStringList& leftOut)
{
    if (leftOut.isEmpty())
        return;
    const QSet<QString> out(leftOut.cbegin(), leftOut.cend());
    // A path is out when it, or any folder above it, is.
    const auto isOut = [&out](const QString& path) {
        if (out.contains(path))
            return true;
        for (qsizetype slash = path.lastIndexOf(u'/'); slash > 0; slash = path.lastIndexOf(u'/', slash - 1))
            if (out.contains(path.left(slash)))
                return true;
        return false;
    };
    manifest.items.removeIf([&](const TransferManifest::FileItem& item) { return isOut(item.relativePath); });
    manifest.entries.removeIf([&](const TransferManifest::Entry& entry) { return isOut(entry.relativePath); });
    manifest.totalSize = 0;
    for (const TransferManifest::FileItem& item : manifest.items)
        manifest.totalSize += item.size;
}

} // namespace kivo
