// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/SecretService.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

namespace kivo {

// A keychain item as a rollback compares it, without its secret: the digest
// tells whether label, content type or secret changed.
struct SecretState {
    QMap<QString, QString> attributes;
    QString label;
    QByteArray digest; // SHA-256, raw
    bool operator==(const SecretState&) const = default;
};

// SHA-256 over the label, content type and secret, each with its length first.
QByteArray secretDigest(const secrets::Item& item);
SecretState secretStateOf(const secrets::Item& item);
QList<SecretState> secretStatesOf(const QList<secrets::Item>& items);

// The states as a JSON array ("attributes", "label", "digest" in hex), and back.
// Entries that are not objects with a 32-byte digest are dropped.
QByteArray encodeSecretStates(const QList<SecretState>& states);
QList<SecretState> decodeSecretStates(const QByteArray& json);

// What a person reads for an item: its label and attributes, never its secret.
QString describeSecret(const QString& label, const QMap<QString, QString>& attributes);

// What undoing a migration's keychain items takes.
struct SecretsRollbackPlan {
    QList<secrets::Item> restore;              // items it changed, as they were before it
    QList<QMap<QString, QString>> remove;      // attribute sets of items it added
    QStringList changedSince;                  // of both, those changed after it (described)

    qsizetype size() const { return restore.size() + remove.size(); }
};

// Compares the default collection before the migration (with secrets), after it
// (nothing when it never finished) and now, item by item per attribute set. An
// item the migration changed goes back, one it added goes, the rest stays.
// Without an after-state every item that differs from before counts as the
// migration's and as changed since.
SecretsRollbackPlan planSecretsRollback(const QList<secrets::Item>& before,
                                        const std::optional<QList<SecretState>>& after, const QList<SecretState>& now);

} // namespace kivo
