// SPDX-License-Identifier: Apache-2.0
// A rollback's keychain part: items put back or deleted per attribute set.
#include "vault/MigrationRollback.h"

#include "vault/PreChangeSnapshot.h"
#include "vault/SecretsRecord.h"

#include <QDir>

namespace kivo {

namespace {

QStringList describedSecrets(const QList<secrets::Item>& items)
{
    QStringList out;
    for (const secrets::Item& item : items)
        out << describeSecret(item.label, item.attributes);
    return out;
}

QStringList describedSecrets(const QList<QMap<QString, QString>>& attributeSets, const QList<SecretState>& now)
{
    QStringList out;
    for (const QMap<QString, QString>& attributes : attributeSets) {
        const QString key = secrets::attributeKey(attributes);
        const auto it = std::find_if(now.begin(), now.end(),
                                     [&](const SecretState& s) { return secrets::attributeKey(s.attributes) == key; });
        out << describeSecret(it == now.end() ? QString() : it->label, attributes);
    }
    return out;
}

} // namespace

bool MigrationRollback::coversSecrets(const QStringList& categories) const
{
    return m_record.secrets && categories.contains(keychainCategory());
}

QList<secrets::Item> MigrationRollback::secretsBefore() const
{
    const std::unique_ptr<QTemporaryDir> folder = privateSecretsFolder(m_request.home);
    const SnapshotVault vault = openVault(false);
    vault.restore(preChangeSnapshot(vault), secretsDumpCategory(), folder->path(), {});
    return readSecretsDump(QDir(folder->path()).filePath(secretsDumpName()));
}

void MigrationRollback::planSecrets()
{
    QList<secrets::Item> before = secretsBefore();
    const QList<SecretState> now = currentSecretStates();
    SecretsRollbackPlan plan = planSecretsRollback(before, readSecretsAfter(m_request.home, m_record.transferID), now);
    wipeSecrets(before);
    m_report.secretsRestored = describedSecrets(plan.restore);
    m_report.secretsRemoved = describedSecrets(plan.remove, now);
    m_report.secretsChanged = plan.changedSince;
    m_report.changedCount += std::uint64_t(plan.changedSince.size());
    m_secretsChange = plan.size() > 0;
    wipeSecrets(plan.restore);
}

void MigrationRollback::swapSecrets()
{
    QList<secrets::Item> before = secretsBefore();
    const QList<SecretState> now = currentSecretStates();
    // Planned again: a run cut short may have put some back already.
    SecretsRollbackPlan plan = planSecretsRollback(before, readSecretsAfter(m_request.home, m_record.transferID), now);
    wipeSecrets(before);
    try {
        applySecretsRollback(plan);
    } catch (...) {
        wipeSecrets(plan.restore);
        throw;
    }
    m_report.secretsRestored = describedSecrets(plan.restore);
    m_report.secretsRemoved = describedSecrets(plan.remove, now);
    wipeSecrets(plan.restore);
}

ListedPaths MigrationRollback::secretsNow(std::unique_ptr<QTemporaryDir>& folder) const
{
    folder = privateSecretsFolder(m_request.home);
    try {
        return dumpSecretsInto(folder->path());
    } catch (const secrets::Unavailable& e) {
        throw VaultError(VaultErrorKind::locked, QStringLiteral("the keychain cannot be read: %1").arg(e.description()));
    } catch (const SystemError& e) {
        throw VaultError(VaultErrorKind::failed, QStringLiteral("the keychain cannot be read: %1").arg(e.description()));
    }
}

} // namespace kivo
