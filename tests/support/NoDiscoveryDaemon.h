// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace kivo::test {

// While it lives, service discovery fails as on a machine whose daemon is not
// running, whatever runs on this one: the client library reaches the daemon
// over the system bus, which is sent to a socket that does not exist.
class NoDiscoveryDaemon {
public:
    NoDiscoveryDaemon() { qputenv(kName, "unix:path=/nonexistent/kivo-test/system_bus_socket"); }
    ~NoDiscoveryDaemon()
    {
        if (m_wasSet)
            qputenv(kName, m_saved);
        else
            qunsetenv(kName);
    }
    NoDiscoveryDaemon(const NoDiscoveryDaemon&) = delete;
    NoDiscoveryDaemon& operator=(const NoDiscoveryDaemon&) = delete;

    static constexpr char kReason[] = "the service discovery daemon (avahi-daemon) is not running";

private:
    static constexpr char kName[] = "DBUS_SYSTEM_BUS_ADDRESS";
    QByteArray m_saved = qgetenv(kName);
    bool m_wasSet = qEnvironmentVariableIsSet(kName);
};

} // namespace kivo::test
