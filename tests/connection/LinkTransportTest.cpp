// SPDX-License-Identifier: Apache-2.0
// Which transport a direct connection travels over, from the device its local
// address is on, as sysfs describes it.
#include "connection/ConnectionTypes.h"
#include "support/FileBytes.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;

namespace {

// One device of a made-up /sys/class/net.
struct Device {
    QString name;
    int type = 1;
    QString devtype{};    // uevent's DEVTYPE, if any
    QString driver{};     // device/driver's target name, if any
    bool wireless = false;
    QStringList ports{};  // for a bridge
};

void make(const QString& root, const Device& d)
{
    using kivo::test::writeBytes;
    const QString dir = root + u'/' + d.name;
    writeBytes(dir + QStringLiteral("/type"), QByteArray::number(d.type) + '\n');
    writeBytes(dir + QStringLiteral("/uevent"), "INTERFACE=" + d.name.toLatin1() + "\nIFINDEX=3\n"
                                               + (d.devtype.isEmpty() ? QByteArray() : "DEVTYPE=" + d.devtype.toLatin1() + '\n'));
    if (d.wireless)
        QDir().mkpath(dir + QStringLiteral("/wireless"));
    if (!d.driver.isEmpty()) {
        QDir().mkpath(root + QStringLiteral("/../drivers/") + d.driver);
        QDir().mkpath(dir + QStringLiteral("/device"));
        QFile::link(root + QStringLiteral("/../drivers/") + d.driver, dir + QStringLiteral("/device/driver"));
    }
    if (!d.ports.isEmpty()) {
        QDir().mkpath(dir + QStringLiteral("/brif"));
        for (const QString& port : d.ports)
            QFile::link(root + u'/' + port, dir + QStringLiteral("/brif/") + port);
    }
}

} // namespace

TEST(LinkTransport, FromTheDeviceOfTheLocalAddress)
{
    using T = TransportType;
    struct Case {
        const char* what;
        QList<Device> devices; // the first is the one asked about
        std::optional<T> expected;
    };
    const Case cases[] = {
        {"loopback", {{"lo", 772}}, std::nullopt},
        {"thunderbolt-net", {{"enp0s13", 1, {}, "thunderbolt-net"}}, T::thunderbolt},
        {"thunderbolt-net by its kernel name", {{"thunderbolt0", 1, {}, {}}}, T::thunderbolt},
        {"a bridge named like one, over nothing of the kind", {{"bridge100", 1, "bridge", {}, false, {"eth0"}}, {"eth0", 1, {}, {}}},
         T::ethernet},
        {"bridge over thunderbolt", {{"br0", 1, "bridge", {}, false, {"eth9", "thunderbolt0"}}, {"eth9", 1, {}, "e1000e"},
                                     {"thunderbolt0", 1, {}, "thunderbolt-net"}}, T::thunderbolt},
        {"wifi by its wireless folder", {{"wlp2s0", 1, {}, "iwlwifi", true}}, T::wifi},
        {"wifi by its DEVTYPE", {{"wlan0", 1, "wlan", "brcmfmac"}}, T::wifi},
        {"bridge over wifi", {{"br1", 1, "bridge", {}, false, {"wlan0"}}, {"wlan0", 1, "wlan", {}}}, T::wifi},
        {"wired", {{"eth0", 1, {}, "virtio_net"}}, T::ethernet},
        {"bridge over wired", {{"br2", 1, "bridge", {}, false, {"eth0"}}, {"eth0", 1, {}, "e1000e"}}, T::ethernet},
        {"veth that is not named as thunderbolt", {{"veth3", 1, {}, {}}}, T::ethernet},
        {"a name that only starts like one", {{"thunderbolt0x", 1, {}, {}}}, T::ethernet},
        {"gone meanwhile", {}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir sys;
        const QString root = sys.path() + QStringLiteral("/class/net");
        QDir().mkpath(root);
        for (const Device& d : c.devices)
            make(root, d);
        const QString name = c.devices.isEmpty() ? QStringLiteral("eth7") : c.devices.first().name;
        EXPECT_EQ(transportOfDevice(netif::netdevFacts(name, root)), c.expected);
    }
    // A name from elsewhere never walks out of the folder.
    EXPECT_EQ(netif::netdevFacts(QStringLiteral("../../etc")).arpType, -1);
}

TEST(LinkTransport, TheInterfaceHoldingTheLocalAddress)
{
    const QList<netif::InterfaceAddress> addresses{
        {QStringLiteral("eth0"), true, true, QStringLiteral("192.168.1.20")},
        {QStringLiteral("wlan0"), false, true, QStringLiteral("fe80::1")},
        {QStringLiteral("thunderbolt0"), true, true, QStringLiteral("169.254.77.1")},
    };
    const std::pair<QHostAddress, const char*> cases[] = {
        {QHostAddress(QStringLiteral("169.254.77.1")), "thunderbolt0"},
        {QHostAddress(QStringLiteral("::ffff:192.168.1.20")), "eth0"},
        {QHostAddress(QStringLiteral("fe80::1%wlan0")), "wlan0"},
        {QHostAddress::LocalHost, "lo"},
        {QHostAddress::LocalHostIPv6, "lo"},
        {QHostAddress(QStringLiteral("10.0.0.9")), ""},
    };
    for (const auto& [local, name] : cases)
        EXPECT_EQ(interfaceHolding(local, addresses), QString::fromLatin1(name)) << local.toString().toStdString();
}
