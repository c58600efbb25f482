// SPDX-License-Identifier: Apache-2.0
#include "vault/SecretsRecord.h"

#include "categories/HomeLayout.h"
#include "categories/KeychainExport.h"
#include "categories/KeychainHandler.h"
#include "platform/FileSystem.h"
#include "platform/HomeBeneath.h"
#include "platform/SmallFiles.h"
#include "vault/PreChangeSnapshot.h"
#include "vault/VaultError.h"

#include <QDir>
#include <QFileInfo>

namespace kivo {

namespace {

// As large as a keychain export may be.
constexpr qint64 kMaxSecretsBytes = keychain::kMaxExportBytes;
const QString kSecretsFolderPrefix = QStringLiteral("secrets-");

VaultError secretsFailure(const QString& what) { return VaultError(VaultErrorKind::failed, what); }

} // namespace

QString secretsDumpCategory() { return QStringLiteral("secretServiceItems"); }

QString secretsDumpName() { return QStringLiteral("kivo-secrets.json"); }

QString keychainCategory() { return QStringLiteral("keychain"); }

bool isKeychainExport(const QString& home, const QString& destination)
{
    const QFileInfo info(QDir::cleanPath(destination));
    if (!info.fileName().startsWith(KeychainHandler::exportPrefix()))
        return false;
    for (HomeLayoutKind layout : {HomeLayoutKind::Linux, HomeLayoutKind::MacOS})
        if (info.path() + u'/' == QDir::cleanPath(home) + KeychainHandler::exportFolder(layout).mid(1))
            return true;
    return false;
}

QString secretsAfterPath(const QString& home, const QString& transferID)
{
    return QDir(changeRecordsFolder(home)).filePath(transferID + QStringLiteral(".secrets"));
}

void removeSecretsLeftovers(const QString& home)
{
    // Only a crash leaves one behind: whoever holds one removes it when done.
    const QString records = changeRecordsFolder(home);
    const HomeBeneath beneath(home);
    for (const QString& name : QDir(records).entryList({kSecretsFolderPrefix + u'*'}, QDir::Dirs | QDir::Hidden))
        beneath.removeTree(QDir(records).filePath(name));
}

std::unique_ptr<QTemporaryDir> privateSecretsFolder(const QString& home)
{
    const QString records = changeRecordsFolder(home);
    QDir().mkpath(records);
    removeSecretsLeftovers(home);
    auto folder = std::make_unique<QTemporaryDir>(QDir(records).filePath(kSecretsFolderPrefix + QStringLiteral("XXXXXX")));
    if (!folder->isValid())
        throw secretsFailure(QStringLiteral("no room to keep the keychain's items for the snapshot"));
    return folder;
}

QString keychainProblem()
{
    try {
        secrets::Keychain keychain;
        return keychain.defaultCollectionProblem();
    } catch (const secrets::Unavailable& e) {
        return e.description();
    }
}

ListedPaths dumpSecretsInto(const QString& folder)
{
    secrets::Keychain keychain;
    QList<secrets::Item> items = keychain.defaultItems(true);
    QByteArray plain = keychain::encodeItems(items);
    wipeSecrets(items);
    const QString dump = QDir(folder).filePath(secretsDumpName());
    try {
        const UniqueFd out = fs::openForAppend(dump, true); // owner-only
        fs::writeAll(out.get(), plain, dump);
    } catch (...) {
        plain.fill('\0');
        throw;
    }
    const std::uint64_t bytes = std::uint64_t(plain.size());
    plain.fill('\0');
    const QString list = QDir(folder).filePath(QStringLiteral("list"));
    QByteArray entry = secretsDumpName().toUtf8();
    entry.append('\0'); // the list's separator, as restic reads it
    fs::writeFileAtomically(list, entry);
    return {secretsDumpCategory(), list, 1, bytes, folder};
}

QList<secrets::Item> readSecretsDump(const QString& path)
{
    std::optional<QByteArray> plain = fs::readRegularFile(path, kMaxSecretsBytes);
    if (!plain)
        throw secretsFailure(QStringLiteral("the keychain items kept before the migration were not restored"));
    try {
        QList<secrets::Item> items = keychain::decodeItems(*plain);
        plain->fill('\0');
        return items;
    } catch (const std::exception& e) {
        plain->fill('\0');
        throw secretsFailure(QStringLiteral("the keychain items kept before the migration cannot be read: %1")
                         .arg(QString::fromUtf8(e.what())));
    }
}

QList<SecretState> currentSecretStates()
{
    try {
        secrets::Keychain keychain;
        QList<secrets::Item> items = keychain.defaultItems(true);
        QList<SecretState> states = secretStatesOf(items);
        wipeSecrets(items);
        return states;
    } catch (const secrets::Unavailable& e) {
        throw VaultError(VaultErrorKind::locked, QStringLiteral("the keychain cannot be read: %1").arg(e.description()));
    } catch (const SystemError& e) {
        throw secretsFailure(QStringLiteral("the keychain cannot be read: %1").arg(e.description()));
    }
}

void recordSecretsAfter(const QString& home, const QString& transferID)
{
    fs::writeFileAtomically(secretsAfterPath(home, transferID), encodeSecretStates(currentSecretStates()));
    handToHomeOwner(home, secretsAfterPath(home, transferID));
}

std::optional<QList<SecretState>> readSecretsAfter(const QString& home, const QString& transferID)
{
    const QString path = secretsAfterPath(home, transferID);
    if (!QFileInfo::exists(path))
        return std::nullopt;
    const std::optional<QByteArray> bytes = fs::readRegularFile(path, kMaxSecretsBytes);
    if (!bytes)
        throw secretsFailure(QStringLiteral("the keychain items kept in %1 cannot be read").arg(path));
    return decodeSecretStates(*bytes);
}

void applySecretsRollback(const SecretsRollbackPlan& plan)
{
    if (plan.size() == 0)
        return;
    try {
        secrets::Keychain keychain;
        // Both are per attribute set: a run cut short and started again does each once.
        for (const secrets::Item& item : plan.restore)
            keychain.store(item);
        for (const QMap<QString, QString>& attributes : plan.remove)
            keychain.remove(attributes);
    } catch (const secrets::Unavailable& e) {
        throw VaultError(VaultErrorKind::locked, QStringLiteral("the keychain items were not put back: %1").arg(e.description()));
    } catch (const SystemError& e) {
        throw secretsFailure(QStringLiteral("the keychain items were not put back: %1").arg(e.description()));
    }
}

void wipeSecrets(QList<secrets::Item>& items)
{
    for (secrets::Item& item : items)
        item.secret.fill('\0');
    items.clear();
}

} // namespace kivo
