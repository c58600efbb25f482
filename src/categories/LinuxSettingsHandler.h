// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/CategoryHandlerBase.h"
#include "categories/ExportFolder.h"

#include <QTemporaryDir>

#include <memory>
#include <mutex>

namespace kivo {

// "systemSettings" of a Linux desktop: every key of the home's settings
// database (typed, machine-bound keys left out) as one keyfile, plus the
// desktop's own files (Plasma rc files, default applications, autostart
// entries, bookmarks, fonts, themes, icons, launchers). On the destination
// the keys go in through the account's own settings service; other keys stay.
class LinuxSettingsHandler : public CategoryHandlerBase {
public:
    // Where the keyfile travels and lands.
    static const QString& settingsItemPath(); // "~/.config/kivo-settings/user.dconf"

    // What a home sends, as "~/" paths: its settings database and the desktop's files.
    static QStringList sentPaths(const QString& homeFolder);

    explicit LinuxSettingsHandler(QString homeFolder, QString runtimeRoot = QStringLiteral("/run/user"));
    ~LinuxSettingsHandler() override;

    // What the listing sends, for estimates: the keys exported afresh (a file
    // outside the home) and the desktop's files as "~/" paths. Never throws: a
    // database that cannot be read contributes nothing.
    QCoro::Task<QStringList> pathsToSend(QStringList categoryPaths);

    QCoro::Task<QList<Item>> enumerateFiles(QStringList paths) override;
    // Ignores `paths`. A database that cannot be read is one skipped entry
    // saying why; the desktop files still go.
    QCoro::Task<Listing> enumerateListing(QStringList paths) override;
    // Applies the received keys and turns off autostart entries whose program
    // is not here. Throws, after the rest is done, when the keys could not be applied.
    QCoro::Task<std::optional<ImportCounts>> postImport(QStringList receivedFiles) override;
    // Keys the destination already has with another value are replaced only
    // under overwrite: a key keeps no time of its own to call the newer by.
    void setConflictPolicy(ConflictPolicy policy) override { m_policy = policy; }

    // The source's listing, blocking.
    Listing listSource(const QString& exportFolder) const;
    // The destination's import, blocking. Throws as postImport.
    ImportCounts importReceived(const QStringList& receivedFiles) const;

private:
    QString m_runtimeRoot;
    ConflictPolicy m_policy = ConflictPolicy::skip;
    ExportFolder m_exportFolder;
    // Apart from the listing's, which a manifest already built may still send from.
    ExportFolder m_estimateFolder;
};

} // namespace kivo
