// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/CategoryHandlerBase.h"
#include "categories/ExportFolder.h"

#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <mutex>

namespace kivo {

// "browserData" of a Linux home: the profiles of each known browser in each
// of its formats, caches and lock files left behind; refused on the
// destination while that browser runs. The Chromium family's Safe Storage
// secrets travel beside them, sealed with the pairing's key, into the
// destination account's Secret Service.
class LinuxBrowserDataHandler : public CategoryHandlerBase {
public:
    // Where the sealed secrets travel and land, and the start of their names.
    static const QString& secretsFolder(); // "~/.config/kivo-browser-secrets/"

    // Without a 256-bit key (no verified pairing) the secrets are left out, and the listing says so.
    LinuxBrowserDataHandler(QString homeFolder, QByteArray sessionKey, QString procRoot = QStringLiteral("/proc"),
                            QString runtimeRoot = QStringLiteral("/run/user"));
    ~LinuxBrowserDataHandler() override;
    // For a tree that is no account's (a vault snapshot): no Secret Service holds its
    // secrets, so none are offered and none are reported missing.
    void leaveSecretsOut() { m_secretsOut = true; }

    QCoro::Task<QList<Item>> enumerateFiles(QStringList paths) override;
    QCoro::Task<Listing> enumerateListing(QStringList paths) override;
    QCoro::Task<QList<Refusal>> preflightDestination(QList<Item> items) override;
    // Firefox's profiles adopted by the install here; the secrets put in place.
    // Throws when secrets arrived and no Secret Service takes them.
    QCoro::Task<std::optional<ImportCounts>> postImport(QStringList receivedFiles) override;

    // Blocking steps, for a pool thread.
    Listing listSource(const QString& exportFolder) const;
    ImportCounts importReceived(const QStringList& receivedFiles) const;
    // Each item under a running browser's folder, once, with the reason.
    static QList<Refusal> refusals(const QList<Item>& items, const std::function<bool(const QString&)>& isRunning);
    // The browsers' process names that run now for this home's owner.
    QStringList runningBrowsers() const;

private:
    QByteArray m_key;
    QString m_procRoot;
    QString m_runtimeRoot;
    ExportFolder m_exportFolder;
    bool m_secretsOut = false;
};

} // namespace kivo
