// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace kivo::test {

// A private D-Bus session bus with an unlocked keyring on it (scripts/keyring-session),
// ended on destruction. `environment()` points a child process at it.
class KeyringSession {
public:
    KeyringSession();
    ~KeyringSession();
    KeyringSession(const KeyringSession&) = delete;
    KeyringSession& operator=(const KeyringSession&) = delete;

    bool isRunning() const { return !m_address.isEmpty(); }
    const QString& address() const { return m_address; }
    QProcessEnvironment environment() const;

    // secret-tool against this keyring: its standard output, or empty when it failed.
    QByteArray secretTool(const QStringList& args, const QByteArray& input = {}) const;
    // `secret-tool store --label=LABEL ATTRIBUTES...`; false when it failed.
    bool store(const QString& label, const QStringList& attributes, const QByteArray& secret) const;

private:
    QTemporaryDir m_dir;
    QString m_address;
};

} // namespace kivo::test
