// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <stdexcept>

namespace kivo {

// Why a vault operation failed, in the terms a person can act on.
enum class VaultErrorKind {
    failed,          // the work did not complete
    damaged,         // the repository's check found errors
    full,            // no space where the vault lives
    snapshotGone,    // a snapshot vanished while in use
    changedSince,    // a rollback would overwrite later changes
    unknownSnapshot, // no snapshot or migration by that name
    noVault,         // nothing at the vault's location
    wrongPassword,
    missingKey,      // no password for the vault anywhere
    noEngine,        // the snapshot engine is missing or too old
    unreachable,     // the store did not answer
    locked,          // another run holds the vault
};

class VaultError : public std::runtime_error {
public:
    VaultError(VaultErrorKind kind, const QString& message) : std::runtime_error(message.toStdString()), m_kind(kind) {}
    VaultErrorKind kind() const { return m_kind; }
    QString message() const { return QString::fromStdString(what()); }

private:
    VaultErrorKind m_kind;
};

// A stable word for the kind, for --json.
QString toString(VaultErrorKind kind);

} // namespace kivo
