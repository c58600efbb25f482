// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/CategoryHandlerBase.h"
#include "categories/ExportFolder.h"
#include "categories/HomeLayout.h"
#include "platform/SecretService.h"

#include <QTemporaryDir>

#include <memory>
#include <mutex>

namespace kivo {

// "keychain": every readable secret of the source's keychain as one export
// sealed with the paired connection's key, imported on the destination into
// its default collection. The key is never stored.
// Who reads a keychain problem, and so which way out it names.
enum class KeychainAdvice { commandLine, desktopApp };

class KeychainHandler : public CategoryHandlerBase {
public:
    // Where received exports land, as the source's layout names it, and the start of their names.
    static const QString& exportFolder(HomeLayoutKind layout = HomeLayoutKind::MacOS); // "~/Library/Keychains/"
    static const QString& exportPrefix(); // "kivo-keychain-export"

    // Without a 256-bit key (no verified pairing) it lists and imports nothing but fails saying so,
    // so that the keychain's files are never sent as plain files.
    KeychainHandler(QString homeFolder, QByteArray sessionKey, HomeLayoutKind layout = HomeLayoutKind::MacOS);
    ~KeychainHandler() override;

    const QByteArray& sessionKey() const { return m_key; }

    // Ignores `paths`: reads the keychain, seals it and announces the export
    // as one item under a name of its own, so that no earlier run's checkpoint
    // takes it for sent. Throws when the keychain cannot be read.
    QCoro::Task<QList<Item>> enumerateFiles(QStringList paths) override;
    // Refuses an export over 64 MiB; clears exports an interrupted run left, which no key can open any more.
    QCoro::Task<QList<Refusal>> preflightDestination(QList<Item> items) override;
    // Imports each received export; it is deleted once imported and stays when
    // it cannot be opened or read. Throws with the reason.
    QCoro::Task<std::optional<ImportCounts>> postImport(QStringList receivedFiles) override;

    // Removes the sealed export of the source.
    void discardExport();

    // Blocking steps, for a pool thread.
    // The sealed export of the whole keychain.
    static QByteArray sealedExport(const QByteArray& key);
    static ImportCounts importExport(const QString& path, const QByteArray& key);
    // Why this machine's keychain cannot be read for sending, worded for the user with the
    // name `layout` gives the category, or empty.
    static QString sourceProblem(HomeLayoutKind layout, KeychainAdvice advice = KeychainAdvice::commandLine);
    // What the user reads on the source (send, preflight) when the keychain service cannot
    // be used, from the service's own reason.
    static QString unreadableText(const QString& reason, HomeLayoutKind layout,
                                  KeychainAdvice advice = KeychainAdvice::commandLine);
    // The same on the destination (import).
    static QString notImportedText(const QString& reason);

private:
    QByteArray m_key;
    HomeLayoutKind m_layout;
    ExportFolder m_exportFolder;
};

} // namespace kivo
