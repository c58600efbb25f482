// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/CommandRunner.h"

#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <memory>

namespace kivo {

class SessionBus;

// One side of a demonstration's desktop session: a private session bus whose
// services (the settings service among them) see `homeFolder` as the home,
// with an unlocked keyring on it. Nothing of the caller's own session is used:
// the caller must have no DBUS_SESSION_BUS_ADDRESS of its own. Everything
// started is stopped when this goes.
class DemoSession {
public:
    // `runtimeRoot` holds no login session, so the bus is always a private one.
    // Throws SystemError naming the missing tool or the service that did not answer.
    DemoSession(const QString& homeFolder, const QString& runtimeRoot, const QByteArray& keyringPassword);
    ~DemoSession();
    DemoSession(const DemoSession&) = delete;
    DemoSession& operator=(const DemoSession&) = delete;

    // How a tool reaches this session's services, as the home's account.
    CommandOptions client() const;
    // `base` pointed at this session: its bus, its runtime folder, its home.
    QProcessEnvironment environment(QProcessEnvironment base) const;
    // Ends the keyring and the bus with every service it started.
    void stop();
    // Processes still running in this session (none once stopped).
    QList<int> remainingProcesses() const;

private:
    void startKeyring(const QByteArray& password);

    QString m_home;
    QString m_runtimeDir;
    std::unique_ptr<SessionBus> m_bus;
    QProcess m_keyring;
};

} // namespace kivo
