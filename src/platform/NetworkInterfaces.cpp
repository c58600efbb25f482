// SPDX-License-Identifier: Apache-2.0
#include "platform/NetworkInterfaces.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>

namespace kivo::netif {

std::optional<int> bridgeNumber(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^bridge([0-9]{1,9})$"));
    const auto m = pattern.match(name);
    if (!m.hasMatch())
        return std::nullopt;
    return m.captured(1).toInt();
}

bool isThunderboltBridgeName(const QString& name)
{
    const auto n = bridgeNumber(name);
    return n && *n > 99;
}

InterfaceKind interfaceKind(const QString& name, const QString& sysfsRoot)
{
    const QString dir = sysfsRoot + u'/' + name;
    if (QFileInfo::exists(dir + QStringLiteral("/wireless")) || QFileInfo::exists(dir + QStringLiteral("/phy80211")))
        return InterfaceKind::wifi;
    if (bridgeNumber(name) || QFileInfo::exists(dir + QStringLiteral("/bridge")))
        return InterfaceKind::other;
    QFile type(dir + QStringLiteral("/type"));
    if (type.open(QIODevice::ReadOnly) && type.readAll().trimmed().toInt() == ARPHRD_ETHER)
        return InterfaceKind::wiredEthernet;
    return InterfaceKind::other;
}

namespace {

NetdevFacts deviceFacts(const QString& name, const QString& sysfsRoot, bool withPorts)
{
    NetdevFacts f;
    f.name = name;
    // Names come from the kernel or the local address list; never walk out of the class folder.
    if (name.isEmpty() || name.contains(u'/') || name == QLatin1String(".") || name == QLatin1String(".."))
        return f;
    const QString dir = sysfsRoot + u'/' + name;
    QFile type(dir + QStringLiteral("/type"));
    if (type.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const int value = type.read(32).trimmed().toInt(&ok);
        f.arpType = ok ? value : -1;
    }
    QFile uevent(dir + QStringLiteral("/uevent"));
    if (uevent.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : uevent.read(4096).split('\n')) {
            if (line.startsWith("DEVTYPE="))
                f.devtype = QString::fromLatin1(line.mid(8).trimmed());
        }
    }
    f.wireless = QFileInfo::exists(dir + QStringLiteral("/wireless")) || QFileInfo::exists(dir + QStringLiteral("/phy80211"))
        || f.devtype == QLatin1String("wlan");
    const QFileInfo driver(dir + QStringLiteral("/device/driver"));
    if (driver.isSymLink())
        f.driver = QFileInfo(driver.symLinkTarget()).fileName();
    if (withPorts) {
        const QStringList ports = QDir(dir + QStringLiteral("/brif")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString& port : ports)
            f.ports << deviceFacts(port, sysfsRoot, false);
    }
    return f;
}

} // namespace

NetdevFacts netdevFacts(const QString& name, const QString& sysfsRoot)
{
    return deviceFacts(name, sysfsRoot, true);
}

QString interfaceName(int index)
{
    char buffer[IF_NAMESIZE] = {};
    if (index <= 0 || !if_indextoname(static_cast<unsigned>(index), buffer))
        return {};
    return QString::fromLocal8Bit(buffer);
}

Interface describeInterface(int index)
{
    Interface i;
    i.index = index;
    i.name = interfaceName(index);
    i.kind = i.name.isEmpty() ? InterfaceKind::other : interfaceKind(i.name);
    return i;
}

QList<InterfaceAddress> systemInterfaceAddresses()
{
    QList<InterfaceAddress> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return result;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || !a->ifa_name)
            continue;
        InterfaceAddress entry;
        entry.name = QString::fromLocal8Bit(a->ifa_name);
        entry.upAndRunning = (a->ifa_flags & IFF_UP) && (a->ifa_flags & IFF_RUNNING);
        char text[INET6_ADDRSTRLEN] = {};
        if (a->ifa_addr->sa_family == AF_INET) {
            entry.ipv4 = true;
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
        } else if (a->ifa_addr->sa_family == AF_INET6) {
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr, text, sizeof text);
        } else {
            continue;
        }
        entry.address = QString::fromLatin1(text);
        result.append(entry);
    }
    freeifaddrs(list);
    return result;
}

} // namespace kivo::netif
