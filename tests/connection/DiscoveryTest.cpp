// SPDX-License-Identifier: Apache-2.0
#include "connection/BonjourAdvertiser.h"
#include "connection/BonjourBrowser.h"
#include "connection/ThunderboltDetector.h"
#include "support/FileBytes.h"
#include "support/NoDiscoveryDaemon.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using netif::Interface;
using netif::InterfaceKind;

namespace {

Interface wifi(int index = 4) { return {index, QStringLiteral("wlan0"), InterfaceKind::wifi}; }
Interface wired(int index = 2) { return {index, QStringLiteral("eth0"), InterfaceKind::wiredEthernet}; }
Interface bridge(int number, int index = 9) { return {index, QStringLiteral("bridge%1").arg(number), InterfaceKind::other}; }

DiscoveredPeer peer(const QString& host, const QList<Interface>& interfaces)
{
    return BonjourBrowser::peerFromResult(host + QStringLiteral("|ann|123456"), interfaces);
}

} // namespace

TEST(BrowseResult, InstanceNameCarriesHostUserAndCode)
{
    const auto full = BonjourBrowser::peerFromResult(QStringLiteral("Ann's Laptop|ann|042137"), {wifi()});
    EXPECT_EQ(QStringList({full.hostname, full.username, full.pairingCode.value_or(QString())}),
              QStringList({"Ann's Laptop", "ann", "042137"}));
    EXPECT_FALSE(BonjourBrowser::peerFromResult(QStringLiteral("studio|bob|"), {}).pairingCode.has_value());
    const QString name = BonjourAdvertiser::instanceName(QStringLiteral("studio"), QStringLiteral("bob"), QStringLiteral("000777"));
    EXPECT_EQ(BonjourBrowser::peerFromResult(name, {}).pairingCode, QStringLiteral("000777"));
}

TEST(BrowseResult, SecurePairingOnlyFromAWellFormedTxtRecordWithOurVersion)
{
    const auto entry = [](const QByteArray& text) { return char(text.size()) + text; };
    const std::pair<QByteArray, bool> cases[] = {
        {BonjourAdvertiser::txtRecord(true), true},
        {BonjourAdvertiser::txtRecord(false), false},
        {entry("KIVO-Pairing=1"), true}, // keys are case-insensitive
        {entry("other=x") + entry("") + entry("kivo-pairing=1"), true},
        {entry("kivo-pairing="), false},
        {entry("kivo-pairing=2"), false}, // a version we do not speak
        {entry("kivo-pairing=0") + entry("kivo-pairing=1"), false}, // the first occurrence counts
        {entry("kivo-pairing=1") + "\x09trunc", false}, // malformed anywhere: nothing believed
        {"\x0f" + QByteArray("kivo-pairing=1"), false},
    };
    for (const auto& [txt, secure] : cases)
        EXPECT_EQ(BonjourBrowser::announcesSecurePairing(txt), secure) << txt.toHex().toStdString();

    EXPECT_TRUE(BonjourBrowser::peerFromResult(QStringLiteral("studio|bob|"), {}, true).securePairing);
    EXPECT_FALSE(BonjourBrowser::peerFromResult(QStringLiteral("studio|bob|123456"), {}).securePairing);
}

TEST(BrowseResult, TransportFromTheInterfacesTheServiceWasSeenOn)
{
    // The last case: a wired interface merely named like a bridge is not one.
    const std::pair<QList<Interface>, TransportType> cases[] = {
        {{wifi()}, TransportType::wifi},
        {{wifi(), wired()}, TransportType::ethernet},
        {{bridge(99)}, TransportType::wifi},
        {{wifi(), bridge(100)}, TransportType::thunderbolt},
        {{bridge(101)}, TransportType::thunderbolt},
        {{{3, QStringLiteral("bridge100"), InterfaceKind::wiredEthernet}}, TransportType::ethernet}};
    for (const auto& [interfaces, transport] : cases)
        EXPECT_EQ(BonjourBrowser::classifyTransport(interfaces), transport) << interfaces.size();

    int deciding = 0;
    BonjourBrowser::classifyTransport({wifi(4), bridge(100, 9)}, &deciding);
    EXPECT_EQ(deciding, 9);
    EXPECT_EQ(peer(QStringLiteral("a"), {wifi(4), bridge(100, 9)}).endpoint.interfaceIndex, 9);
}

TEST(BrowseResult, InterfaceKindsComeFromSysfs)
{
    QTemporaryDir root;
    const auto make = [&](const QString& name, const QByteArray& type, const QStringList& subdirs = {}) {
        for (const auto& d : subdirs)
            QDir(root.path()).mkpath(name + u'/' + d);
        test::writeBytes(root.filePath(name + QStringLiteral("/type")), type + '\n');
    };
    make(QStringLiteral("eth0"), "1");
    make(QStringLiteral("wlan0"), "1", {QStringLiteral("wireless")});
    make(QStringLiteral("br0"), "1", {QStringLiteral("bridge")});
    make(QStringLiteral("bridge100"), "1");
    make(QStringLiteral("lo"), "772");
    const std::pair<const char*, InterfaceKind> expected[] = {
        {"eth0", InterfaceKind::wiredEthernet}, {"wlan0", InterfaceKind::wifi}, {"br0", InterfaceKind::other},
        {"bridge100", InterfaceKind::other},    {"lo", InterfaceKind::other},   {"missing", InterfaceKind::other}};
    for (const auto& [name, kind] : expected)
        EXPECT_EQ(netif::interfaceKind(QString::fromLatin1(name), root.path()), kind) << name;
    EXPECT_FALSE(netif::isThunderboltBridgeName(QStringLiteral("bridge1000a")));
}

TEST(PeerList, OneEntryPerHostWithTheBestTransportSortedByName)
{
    const QList<DiscoveredPeer> seen = {
        peer(QStringLiteral("zeta"), {wifi()}),
        peer(QStringLiteral("alpha"), {wifi()}),
        peer(QStringLiteral("alpha"), {wired()}),
        peer(QStringLiteral("Mid"), {bridge(100)}),
        peer(QStringLiteral("mid"), {wifi()}),
        BonjourBrowser::peerFromResult(QStringLiteral("zeta|other|111111"), {wifi(5)}),
    };
    // Equal rank: the first one seen stays (zeta by ann, not by other).
    EXPECT_EQ(BonjourBrowser::deduplicate(seen),
              (QList<DiscoveredPeer>{seen[3], seen[2], seen[0]}));

    // Thunderbolt seen first is not replaced by a lower rank seen later.
    const auto tb = BonjourBrowser::deduplicate({peer(QStringLiteral("h"), {bridge(100)}), peer(QStringLiteral("H"), {wired()})});
    EXPECT_EQ(tb, QList<DiscoveredPeer>{peer(QStringLiteral("h"), {bridge(100)})});
}

TEST(ThunderboltScan, LinkLocalIPv4OnHighNumberedBridgesOnly)
{
    using A = netif::InterfaceAddress;
    const QList<A> addresses = {
        {QStringLiteral("bridge100"), true, true, QStringLiteral("169.254.7.1")},
        {QStringLiteral("bridge101"), true, true, QStringLiteral("169.254.7.2")},
        {QStringLiteral("bridge99"), true, true, QStringLiteral("169.254.8.1")},
        {QStringLiteral("bridge103"), false, true, QStringLiteral("fe80::1")},
        {QStringLiteral("bridge104"), true, false, QStringLiteral("169.254.9.1")},
        {QStringLiteral("bridge105"), true, true, QStringLiteral("192.168.1.1")},
        {QStringLiteral("eth0"), true, true, QStringLiteral("169.254.3.1")},
    };
    const auto peers = ThunderboltDetector::scan(addresses);
    EXPECT_EQ(peers, (QList<ThunderboltPeer>{{QStringLiteral("bridge100"), QStringLiteral("169.254.7.2")},
                                             {QStringLiteral("bridge101"), QStringLiteral("169.254.7.1")}}));
    EXPECT_FALSE(ThunderboltDetector::derivePeerAddress(QStringLiteral("169.254.7.x")).has_value());
}

// What a source without service discovery tells the destination to connect to.
TEST(DirectAddresses, EveryAddressAPeerCanReachWithoutAScope)
{
    using A = netif::InterfaceAddress;
    const QList<A> addresses = {
        {QStringLiteral("lo"), true, true, QStringLiteral("127.0.0.1")},
        {QStringLiteral("lo"), false, true, QStringLiteral("::1")},
        {QStringLiteral("eth0"), true, true, QStringLiteral("192.168.1.20")},
        {QStringLiteral("eth0"), false, true, QStringLiteral("fe80::1")},
        {QStringLiteral("eth0"), false, true, QStringLiteral("2001:db8::20")},
        {QStringLiteral("wlan0"), true, false, QStringLiteral("10.0.0.5")},         // down
        {QStringLiteral("bridge100"), true, true, QStringLiteral("169.254.7.1")}, // the cable's own link
    };
    EXPECT_EQ(directAddresses(addresses, 4123),
              (QStringList{QStringLiteral("192.168.1.20:4123"), QStringLiteral("[2001:db8::20]:4123"),
                           QStringLiteral("169.254.7.1:4123")}));
}

TEST(DiscoveryDaemon, ABrowserThatCannotStartSaysWhyAtOnce)
{
    NoDiscoveryDaemon noDaemon;
    BonjourBrowser browser;
    std::optional<QString> told;
    browser.onFailed = [&told](QString reason) { told = std::move(reason); };
    browser.start();
    EXPECT_EQ(told, QString::fromLatin1(NoDiscoveryDaemon::kReason));
}
