// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

class QProcess;

namespace kivo::test {

// A private D-Bus session bus with an unlocked keyring on it (scripts/keyring-session),
// ended on destruction. `environment()` points a child process at it.
class KeyringSession {
public:
    // What a login of another account gives it: a bus in its runtime folder, run as it, over its home.
    struct Login {
        unsigned uid = 0;
        unsigned gid = 0;
        QString home;
        QString runtimeDir;
    };

    KeyringSession();
    explicit KeyringSession(Login login);
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
    explicit KeyringSession(std::optional<Login> login);
    void prepare(QProcess& process) const;

    std::optional<Login> m_login;
    QTemporaryDir m_dir;
    QString m_address;
};

} // namespace kivo::test
