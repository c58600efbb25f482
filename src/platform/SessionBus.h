// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Accounts.h"
#include "platform/CommandRunner.h"

#include <QProcessEnvironment>
#include <QString>

#include <memory>

namespace kivo {

// The desktop session bus of one account, where its settings and secret
// services answer. Clients on it always run as that account: root never
// speaks on another account's bus itself.
// The folder whose dconf/user a settings service with this environment
// writes: $XDG_CONFIG_HOME when absolute, else $HOME/.config.
QString settingsFolderOf(const QProcessEnvironment& environment);

class SessionBus {
public:
    enum class Kind {
        caller,  // our own bus: we are the account
        login,   // a running session of the account: its login bus (<runtime root>/<uid>/bus)
                 // or the bus of a settings service already serving the home
        started, // a private bus started as the account for this task
    };

    // What the bus is wanted for. Settings must land in `account.home` and no
    // other home, so for them the home decides which bus serves.
    enum class Purpose { secrets, settings };

    // The caller's bus when the caller is the account and has one (for
    // settings: and its settings are that home's); else the account's login
    // bus when its socket exists (for settings: and the home is the account's
    // own); for settings, else the bus of a settings service already running
    // for that home (a second service would lose its keys to it); else a
    // private bus started as the account, stopped when this object ends.
    // Throws SystemError when none can be had (another account's bus without
    // being root, a running service out of reach, no bus daemon, no answer in time).
    static std::unique_ptr<SessionBus> open(const SystemAccount& account,
                                            const QString& runtimeRoot = QStringLiteral("/run/user"),
                                            Purpose purpose = Purpose::secrets);
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    Kind kind() const { return m_kind; }
    const QString& address() const { return m_address; }
    // How to run a client of this bus: as the account, with its home and bus.
    CommandOptions clientOptions() const;
    // The private daemon's process id, 0 for a bus we did not start.
    qint64 daemonPid() const;

private:
    SessionBus(const SystemAccount& account, Kind kind);
    void start();
    void stop();

    SystemAccount m_account;
    Kind m_kind;
    QString m_address;
    QString m_runtimeDir;
    struct Daemon;
    std::unique_ptr<Daemon> m_daemon;
};

} // namespace kivo
