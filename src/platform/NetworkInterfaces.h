// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QList>
#include <QString>

#include <optional>

// What the discovery code needs to know about the machine's network interfaces.
namespace kivo::netif {

enum class InterfaceKind { wiredEthernet, wifi, other };

// Wi-Fi when the kernel reports wireless extensions, "other" for bridges and
// non-Ethernet links, wired Ethernet for the rest of the Ethernet-type links.
InterfaceKind interfaceKind(const QString& name, const QString& sysfsRoot = QStringLiteral("/sys/class/net"));
QString interfaceName(int index);

// The N of "bridgeN" (decimal digits only), none for any other name.
std::optional<int> bridgeNumber(const QString& name);
// Bridges numbered 100 and up are the ones a Thunderbolt cable creates.
bool isThunderboltBridgeName(const QString& name);

// One interface a browse result was seen on.
struct Interface {
    int index = 0;
    QString name;
    InterfaceKind kind = InterfaceKind::other;
    bool operator==(const Interface&) const = default;
};
// The live system's view of an interface index.
Interface describeInterface(int index);

struct InterfaceAddress {
    QString name;
    bool ipv4 = false;
    bool upAndRunning = false;
    QString address; // numeric text

    bool operator==(const InterfaceAddress&) const = default;
};

// The system's interface address list; empty when the query fails.
QList<InterfaceAddress> systemInterfaceAddresses();

// What sysfs tells of one network device, enough to say what kind of link it is.
struct NetdevFacts {
    QString name;
    int arpType = -1;   // "type": 1 Ethernet, 772 loopback
    bool wireless = false; // "wireless" or "phy80211", or DEVTYPE=wlan
    QString driver;     // the device's driver ("thunderbolt-net", "e1000e"), empty for virtual ones
    QString devtype;    // DEVTYPE of "uevent" ("bridge", "wlan", "vlan"...)
    QList<NetdevFacts> ports; // a bridge's member devices, one level deep

    bool operator==(const NetdevFacts&) const = default;
};
// Facts of device `name`; a missing device gives a name and nothing else.
NetdevFacts netdevFacts(const QString& name, const QString& sysfsRoot = QStringLiteral("/sys/class/net"));

} // namespace kivo::netif
