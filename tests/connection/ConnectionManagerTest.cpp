// SPDX-License-Identifier: Apache-2.0
#include "support/ManualClock.h"
#include "connection/ConnectionManager.h"
#include "support/CoroTest.h"
#include "support/ErrorText.h"
#include "support/NoDiscoveryDaemon.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;
using Kind = ConnectionState::Kind;

class ScriptedBrowser : public PeerBrowser {
public:
    void start() override
    {
        started = true;
        if (failure)
            onFailed(*failure);
    }
    std::optional<QString> failure; // told at start
    void deliver(QList<DiscoveredPeer> peers) { onPeersUpdated(std::move(peers)); }
    bool started = false;
};

static DiscoveredPeer listed(const QString& host, TransportType transport, std::optional<QString> code = QStringLiteral("123456"))
{
    DiscoveredPeer p;
    p.hostname = host;
    p.username = QStringLiteral("ann");
    p.transport = transport;
    p.id = host + u'_' + toString(transport);
    p.endpoint.serviceName = host + QStringLiteral("|ann|") + code.value_or(QString());
    p.pairingCode = code;
    return p;
}

// A manager with a scripted browser, a scripted interface list and stepped time.
struct Rig {
    ManualClock clock;
    QList<netif::InterfaceAddress> interfaces;
    QPointer<ScriptedBrowser> browser;
    std::optional<QString> failBrowsing; // the next browser's failure at start
    int resolveCalls = 0;
    std::unique_ptr<ConnectionManager> manager;

    Rig()
    {
        ConnectionManager::Dependencies deps;
        deps.clock = &clock;
        deps.listenAddress = QHostAddress::LocalHost;
        deps.interfaceAddresses = [this] { return interfaces; };
        deps.makeBrowser = [this] {
            auto b = std::make_unique<ScriptedBrowser>();
            b->failure = failBrowsing;
            browser = b.get();
            return b;
        };
        deps.resolve = [this](PeerEndpoint) -> QCoro::Task<PeerEndpoint> {
            ++resolveCalls;
            throw ConnectionError::connectionFailed(QStringLiteral("Could not resolve"));
            co_return PeerEndpoint{};
        };
        manager = std::make_unique<ConnectionManager>(deps);
    }

    void bridgeUp() { interfaces = {{QStringLiteral("bridge100"), true, true, QStringLiteral("169.254.4.1")}}; }
};

struct ConnectionStates : testing::Test {
    Rig rig;
    ConnectionManager& m = *rig.manager;
};

TEST_F(ConnectionStates, DiscoveryFindsThunderboltThroughBonjourOrTheWatcher)
{
    m.startDiscovery();
    ASSERT_TRUE(rig.browser && rig.browser->started);
    rig.browser->deliver({listed(QStringLiteral("a"), TransportType::wifi)});
    EXPECT_EQ(m.state().kind, Kind::discovering);
    rig.browser->deliver({listed(QStringLiteral("a"), TransportType::wifi), listed(QStringLiteral("tb"), TransportType::thunderbolt)});
    EXPECT_EQ(m.state(), ConnectionState::thunderboltDetected(QStringLiteral("tb")));

    m.stopDiscovery();
    EXPECT_FALSE(m.thunderboltDetector()->isMonitoring());

    // The watcher alone, then both: losing the watcher's peer keeps
    // Thunderbolt while Bonjour still lists one over it.
    m.startDiscovery();
    rig.bridgeUp();
    rig.clock.advance(2s);
    EXPECT_EQ(m.state(), ConnectionState::thunderboltDetected(QStringLiteral("169.254.4.2")));
    rig.browser->deliver({listed(QStringLiteral("tb"), TransportType::thunderbolt)});
    rig.interfaces.clear();
    rig.clock.advance(2s);
    EXPECT_EQ(m.state().kind, Kind::thunderboltDetected);

    rig.browser->deliver({listed(QStringLiteral("tb"), TransportType::wifi)});
    rig.bridgeUp();
    rig.clock.advance(2s);
    rig.interfaces.clear();
    rig.clock.advance(2s);
    EXPECT_EQ(m.state(), ConnectionState::discovering());
}

// While pairing, Thunderbolt coming and going changes nothing, nor does
// stopping discovery; stopping advertising forgets the code.
TEST_F(ConnectionStates, AdvertisingShowsTheCodeUnmovedByDiscoveryAndStoppingForgetsIt)
{
    m.startDiscovery();
    m.startAdvertising(QStringLiteral("host"), QStringLiteral("ann"), 0);
    const auto code = m.pairingManager()->pairingCode();
    ASSERT_TRUE(code.has_value());
    const ConnectionState pairing = ConnectionState::pairingInitiated(*code, rig.clock.now().addSecs(60));
    EXPECT_EQ(m.state(), pairing);

    rig.browser->deliver({listed(QStringLiteral("tb"), TransportType::thunderbolt)});
    rig.bridgeUp();
    rig.clock.advance(2s);
    rig.interfaces.clear();
    rig.clock.advance(2s);
    m.stopDiscovery();
    EXPECT_EQ(m.state(), pairing);

    m.stopAdvertising();
    EXPECT_EQ(m.state(), ConnectionState::idle());
    EXPECT_FALSE(m.pairingManager()->pairingCode().has_value());
    EXPECT_FALSE(m.pairingManager()->sessionKey().has_value());
    EXPECT_EQ(m.listeningPort(), 0);
}

// Without a daemon to publish or browse, each role is told why at once; the
// source still listens and shows its code, for a connection by address.
TEST_F(ConnectionStates, AMissingDiscoveryDaemonIsToldAtOnceAndTheSourceStillListens)
{
    QSignalSpy told(&m, &ConnectionManager::discoveryFailureChanged);
    {
        NoDiscoveryDaemon noDaemon;
        m.startAdvertising(QStringLiteral("host"), QStringLiteral("ann"), 0);
    }
    EXPECT_EQ(m.discoveryFailure(), QString::fromLatin1(NoDiscoveryDaemon::kReason));
    EXPECT_EQ(told.count(), 1);
    EXPECT_NE(m.listeningPort(), 0);
    EXPECT_EQ(m.state().kind, Kind::pairingInitiated);
    m.stopAdvertising();

    m.startDiscovery();
    EXPECT_EQ(m.discoveryFailure(), std::nullopt) << "a fresh start forgets the old failure";
    rig.failBrowsing = QStringLiteral("refused");
    m.startDiscovery();
    EXPECT_EQ(m.discoveryFailure(), QStringLiteral("refused"));
    EXPECT_EQ(m.state(), ConnectionState::discovering());
}

// An advertisement without the secure marker: refused unless allowed, and then
// (the old rules) it must carry a code. Neither opens anything.
TEST_F(ConnectionStates, AnInsecureOrCodelessPeerFailsBeforeOpeningAnything)
{
    QSignalSpy sessions(&m, &ConnectionManager::transferSessionChanged);
    const struct {
        bool allowed;
        std::optional<QString> code;
        ConnectionError error;
        const char* text;
    } cases[] = {
        {false, QStringLiteral("123456"), ConnectionError::insecurePeer(), "The other Mac does not support secure pairing"},
        {true, std::nullopt, ConnectionError::pairingMismatch(), "The pairing codes did not match. Please try again."},
    };
    for (const auto& c : cases) {
        m.setAllowUnverifiedPairing(c.allowed);
        const DiscoveredPeer peer = listed(QStringLiteral("a"), TransportType::wifi, c.code);
        EXPECT_EQ(errorText([&] { runTask(m.connectToPeer(peer)); }), c.text);
        EXPECT_EQ(m.state(), ConnectionState::failed(c.error));
    }
    EXPECT_EQ(rig.resolveCalls, 0);
    EXPECT_EQ(sessions.count(), 0);
    EXPECT_EQ(m.transferSession(), nullptr);
}

// Connecting, the TLS handshake and each pairing reply share one overall deadline.
TEST(StepWait, EachStepGetsItsOwnLimitCutToWhatIsLeftOfTheDeadline)
{
    const std::chrono::nanoseconds now = 100s;
    struct Case {
        std::optional<std::chrono::nanoseconds> giveUpAt;
        std::chrono::milliseconds expected;
    } cases[] = {
        {std::nullopt, 10s},       // no overall deadline: the step's own limit
        {now + 60s, 10s},          // plenty left
        {now + 4s, 4s},            // the deadline comes first
        {now + 1500us, 2ms},       // part of a millisecond still counts as one
        {now, 0ms},                // used up
        {now - 3s, 0ms},           // long gone: never a negative wait
    };
    for (const Case& c : cases)
        EXPECT_EQ(stepWait(10s, now, c.giveUpAt), c.expected) << (c.giveUpAt ? (*c.giveUpAt - now).count() : -1);
}
