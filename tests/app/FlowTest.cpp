// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "connection/ConnectionManager.h"
#include "connection/PairingManager.h"
#include "app/DemoData.h"
#include "app/ReceiveFlow.h"
#include "app/SendFlow.h"
#include "categories/HomeFolderScanner.h"
#include "categories/WalkCounter.h"
#include "support/CoroTest.h"
#include "support/ManualClock.h"
#include "support/NoDiscoveryDaemon.h"
#include "support/TreeCompare.h"
#include "transfer/OutgoingTransfer.h"
#include "transfer/SourceTransfer.h"
#include "transfer/TransferEngine.h"

#include <QDir>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

namespace {

// The events of one flow, in order, as short words.
struct Recorder {
    QStringList events;
    QList<Advertisement> ads;
    QList<ProgressSnapshot> progress;
    std::optional<FlowFailure> failure;

    void watch(MigrationFlow& flow)
    {
        QObject::connect(&flow, &MigrationFlow::paired, [this] { events << QStringLiteral("paired"); });
        QObject::connect(&flow, &MigrationFlow::categoryStarted,
                         [this](const CategoryReport& c) { events << QStringLiteral("start ") + c.categoryID; });
        QObject::connect(&flow, &MigrationFlow::categoryCompleted,
                         [this](const CategoryReport& c) { events << QStringLiteral("complete ") + c.categoryID; });
        QObject::connect(&flow, &MigrationFlow::progressChanged, [this](const ProgressSnapshot& p) { progress << p; });
        QObject::connect(&flow, &MigrationFlow::verificationFinished, [this] { events << QStringLiteral("verified"); });
        QObject::connect(&flow, &MigrationFlow::summaryReady, [this] { events << QStringLiteral("summary"); });
        QObject::connect(&flow, &MigrationFlow::failed, [this](const FlowFailure& f) { failure = f; });
    }
    void watch(SendFlow& flow)
    {
        watch(static_cast<MigrationFlow&>(flow));
        QObject::connect(&flow, &SendFlow::advertising, [this](const Advertisement& a) {
            events << QStringLiteral("advertising");
            ads << a;
        });
    }
    void watch(ReceiveFlow& flow)
    {
        watch(static_cast<MigrationFlow&>(flow));
        QObject::connect(&flow, &ReceiveFlow::peerFound, [this] { events << QStringLiteral("peerFound"); });
        QObject::connect(&flow, &ReceiveFlow::codeRejected, [this] { events << QStringLiteral("codeRejected"); });
    }
};

SessionEnvironment sourceEnvironment(const QString& home, Clock* clock = nullptr)
{
    return {home, QStringLiteral("old-box"), QStringLiteral("ann"), 0, clock};
}

SendFlow::Request sending(QStringList categories, std::optional<QStringList> folders = std::nullopt)
{
    SendFlow::Request request;
    request.categories = std::move(categories);
    request.folders = std::move(folders);
    return request;
}

SendFlow::Request userFiles(std::optional<QStringList> folders = std::nullopt)
{
    return sending({QStringLiteral("userFiles")}, std::move(folders));
}

// A well-formed code that is not the live one.
QString wrongCode(const QString& live, int offset = 1)
{
    return QStringLiteral("%1").arg((live.toInt() + offset) % 1000000, 6, 10, QLatin1Char('0'));
}

} // namespace

struct Flows : testing::Test {
    QTemporaryDir work;
    QString source = work.path() + QStringLiteral("/src");
    QString destination = work.path() + QStringLiteral("/dst");

    // Runs a source until it advertises, then cancels it; the transfer id it offered.
    QString advertisedID(SendFlow::Request request)
    {
        AppState state(sourceEnvironment(source));
        SendFlow flow(state, std::move(request));
        Recorder seen;
        seen.watch(flow);
        QObject::connect(&flow, &SendFlow::advertising, &flow, &SendFlow::cancel, Qt::QueuedConnection);
        EXPECT_EQ(runTask(flow.run()), FlowExit::transferFailed);
        return seen.ads.isEmpty() ? QString() : seen.ads.first().transferID;
    }
};

// Three wrong codes first use the code up: the source shows a fresh one on the
// same port, and the destination's user, asked again, pairs with it.
TEST_F(Flows, SendAndReceiveReportTheWholeMigrationMapTheAnnouncedHomeAndTurnAStrangerAway)
{
    DemoData::buildSampleHome(source, 20, 5);
    AppState sourceState(sourceEnvironment(source));
    SendFlow send(sourceState, userFiles());
    Recorder sent;
    sent.watch(send);

    AppState destinationState({destination, {}, {}, 0, nullptr});
    std::unique_ptr<ReceiveFlow> receive;
    Recorder received;
    std::optional<QCoro::Task<FlowExit>> receiving;
    QObject::connect(&send, &SendFlow::advertising, [&](const Advertisement& a) {
        if (receive)
            return;
        ReceiveFlow::Request request; // dials the advertised port itself
        request.directHost = u"127.0.0.1"_s;
        request.directPort = a.port;
        request.askCode = [&sent, asked = 0]() mutable -> QCoro::Task<std::optional<QString>> {
            const QString live = sent.ads.last().code;
            co_return ++asked <= PairingManager::kMaxFailedConfirmations ? wrongCode(live, asked) : live;
        };
        receive = std::make_unique<ReceiveFlow>(destinationState, std::move(request));
        received.watch(*receive);
        receiving.emplace(receive->run());
    });

    // A stranger that connects while the transfer runs is turned away without
    // a handshake or touching the session. The source holds its transfer until
    // the stranger has been answered, so the refusal lands in the middle of it.
    QSslSocket stranger;
    stranger.setPeerVerifyMode(QSslSocket::VerifyNone);
    bool answered = false;
    bool strangerEncrypted = false;
    const auto release = [&] {
        if (!std::exchange(answered, true))
            static_cast<SourceTransfer*>(sourceState.transferEngine())->setPaused(false);
    };
    QObject::connect(&stranger, &QSslSocket::encrypted, [&] { strangerEncrypted = true; });
    QObject::connect(&stranger, &QSslSocket::disconnected, release);
    QObject::connect(&stranger, &QSslSocket::errorOccurred, release);
    QObject::connect(&send, &MigrationFlow::categoryStarted, [&] {
        if (stranger.state() != QAbstractSocket::UnconnectedState || answered)
            return;
        static_cast<SourceTransfer*>(sourceState.transferEngine())->setPaused(true);
        stranger.connectToHostEncrypted(u"127.0.0.1"_s, sent.ads.first().port);
    });

    QHash<QString, std::int64_t> walksBefore;
    const QStringList folders = QDir(source).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& name : folders)
        walksBefore.insert(name, WalkCounter::timesWalked(source + u'/' + name));
    EXPECT_EQ(runTask(send.run()), FlowExit::success) << (sent.failure ? sent.failure->text.toStdString() : "");
    ASSERT_TRUE(receiving);
    EXPECT_EQ(runTask(std::move(*receiving)), FlowExit::success);
    EXPECT_TRUE(answered) << "the stranger was turned away during the transfer";
    // Each chosen folder is walked once for the sizes, checks and report, once
    // for the manifest; the others not at all.
    const QStringList chosen = sourceState.homeFolderScanner()->selectedPaths();
    ASSERT_FALSE(chosen.isEmpty());
    for (const QString& name : folders)
        EXPECT_EQ(WalkCounter::timesWalked(source + u'/' + name) - walksBefore.value(name),
                  chosen.contains(u"~/"_s + name) ? 2 : 0)
            << name.toStdString();
    EXPECT_FALSE(strangerEncrypted);

    const QStringList transfer{"start userFiles", "complete userFiles", "verified", "summary"};
    EXPECT_EQ(sent.events, QStringList({"advertising", "advertising", "paired"}) + transfer);
    EXPECT_EQ(received.events,
              QStringList({"peerFound", "codeRejected", "codeRejected", "codeRejected", "paired"}) + transfer);
    ASSERT_EQ(sent.ads.size(), 2);
    EXPECT_NE(sent.ads[0].code, sent.ads[1].code);
    EXPECT_EQ(sent.ads[0].port, sent.ads[1].port);
    // Both engines hold the key the pairing agreed on, so the keychain export opens where it arrives.
    ASSERT_TRUE(sourceState.transferEngine() && destinationState.transferEngine());
    ASSERT_TRUE(sourceState.transferEngine()->sessionKey().has_value());
    EXPECT_EQ(sourceState.transferEngine()->sessionKey()->size(), 32);
    EXPECT_EQ(sourceState.transferEngine()->sessionKey(), destinationState.transferEngine()->sessionKey());
    ASSERT_FALSE(received.progress.isEmpty());
    EXPECT_TRUE(received.progress.last().isFinal);
    EXPECT_EQ(received.progress.last().bytes, received.progress.last().totalBytes);
    EXPECT_EQ(treeDifferences(source, destination), QStringList());

    // The source named its home with the manifest; the guess from the user name is gone.
    ASSERT_TRUE(destinationState.confirmedUserMapping());
    EXPECT_EQ(destinationState.confirmedUserMapping()->sourceHomeFolder, source);
    EXPECT_EQ(destinationState.confirmedUserMapping()->destinationHomeFolder, destination);
    EXPECT_FALSE(QFile::exists(OutgoingTransfer::path(source))) << "a finished migration leaves no record behind";
}

TEST_F(Flows, SourceOffersAFreshCodeAfterEachExpiryUntilCancelled)
{
    DemoData::buildSampleHome(source, 1, 5);
    ManualClock clock;
    AppState state(sourceEnvironment(source, &clock));
    SendFlow send(state, userFiles());
    Recorder seen;
    seen.watch(send);
    QObject::connect(&send, &SendFlow::advertising, &send, [&] {
        if (seen.ads.size() < 3)
            clock.advance(60s);
        else
            send.cancel();
    }, Qt::QueuedConnection);

    EXPECT_EQ(runTask(send.run()), FlowExit::transferFailed);
    EXPECT_EQ(seen.failure, (FlowFailure{FlowExit::transferFailed, u"Pairing cancelled."_s})) << "a cancel, not a failed pairing";
    ASSERT_EQ(seen.ads.size(), 3);
    for (const Advertisement& a : seen.ads)
        EXPECT_EQ(a.transferID, seen.ads.first().transferID) << "a fresh code, the same migration";
    EXPECT_NE(seen.ads[0].code + seen.ads[1].code, seen.ads[1].code + seen.ads[2].code);
}

// Cut short while the secure connection is being made, receive was cancelled: no pairing failed.
TEST_F(Flows, ReceiveCancelledWhileConnectingEndsAsACancel)
{
    QTcpServer silent; // accepts and never answers the handshake
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    AppState state({destination, {}, {}, 0, nullptr});
    ReceiveFlow::Request request;
    request.code = u"123456"_s;
    request.directHost = u"127.0.0.1"_s;
    request.directPort = silent.serverPort();
    ReceiveFlow receive(state, std::move(request));
    Recorder seen;
    seen.watch(receive);
    QObject::connect(&silent, &QTcpServer::newConnection, &receive, &ReceiveFlow::cancel, Qt::QueuedConnection);
    EXPECT_EQ(runTask(receive.run()), FlowExit::transferFailed);
    EXPECT_EQ(seen.failure, (FlowFailure{FlowExit::transferFailed, u"Cancelled."_s}));
}

// Without service discovery the destination cannot look and says so at once; the
// source cannot be found, says where to connect instead and keeps waiting for that.
TEST_F(Flows, WithoutServiceDiscoveryReceiveStopsAndSendNamesWhereToConnect)
{
    NoDiscoveryDaemon noDaemon;
    const QString reason = QString::fromLatin1(NoDiscoveryDaemon::kReason);
    AppState destinationState({destination, {}, {}, 0, nullptr});
    ReceiveFlow::Request request;
    request.code = u"123456"_s;
    ReceiveFlow receive(destinationState, std::move(request));
    Recorder received;
    received.watch(receive);
    EXPECT_EQ(runTask(receive.run()), FlowExit::serviceUnavailable);
    ASSERT_TRUE(received.failure);
    EXPECT_EQ(received.failure->text, u"Cannot look for the source on the network: "_s + reason
                                          + u". Connect to it by address instead: --connect ADDRESS:PORT, with the port the source shows."_s);

    DemoData::buildSampleHome(source, 1, 5);
    AppState sourceState(sourceEnvironment(source));
    SendFlow send(sourceState, userFiles());
    Recorder sent;
    sent.watch(send);
    QStringList warnings;
    QObject::connect(&send, &MigrationFlow::warning, [&warnings](const QString& text) { warnings << text; });
    QObject::connect(&send, &SendFlow::advertising, &send, &SendFlow::cancel, Qt::QueuedConnection);
    EXPECT_EQ(runTask(send.run()), FlowExit::transferFailed) << "waited for a connection until cancelled";
    ASSERT_EQ(sent.ads.size(), 1);
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings[0].startsWith(u"This computer cannot be found on the network: "_s + reason
                                       + u". On the destination, connect by address instead: kivo-cli receive --connect "_s))
        << warnings[0].toStdString();
    EXPECT_TRUE(warnings[0].contains(u':' + QString::number(sent.ads[0].port))) << warnings[0].toStdString();
}

TEST_F(Flows, TheSameSelectionResumesUnderItsIdAndAnotherStartsAfresh)
{
    DemoData::buildSampleHome(source, 10, 5);
    const QString first = advertisedID(userFiles(QStringList{"Pictures", "Documents"}));
    ASSERT_EQ(first.size(), 36);
    EXPECT_EQ(advertisedID(userFiles(QStringList{"Documents", "Pictures"})), first) << "order does not matter";
    const QString other = advertisedID(userFiles(QStringList{"Documents"}));
    EXPECT_NE(other, first);
    EXPECT_EQ(OutgoingTransfer::loadMatching(source, {"userFiles"}, {"Documents"})->transferID, other);
}

// The reason names what was asked for; the CLI prints it as the usage error.
TEST_F(Flows, ASelectionThatCannotBeMetFailsBeforeAnythingIsAdvertised)
{
    DemoData::buildSampleHome(source, 3, 5);
    const QList<std::pair<SendFlow::Request, QString>> cases{
        {sending({"photos"}), u"unknown category \"photos\""_s},
        {userFiles(QStringList{"Documents", "Attic"}), u"no folder \"Attic\""_s},
    };
    for (const auto& [request, reason] : cases) {
        AppState state(sourceEnvironment(source));
        SendFlow send(state, request);
        Recorder seen;
        seen.watch(send);
        EXPECT_EQ(runTask(send.run()), FlowExit::usage);
        EXPECT_TRUE(seen.failure->text.startsWith(reason)) << seen.failure->text.toStdString();
        EXPECT_TRUE(seen.events.isEmpty());
    }
    AppState missing(sourceEnvironment(work.path() + QStringLiteral("/nowhere")));
    SendFlow send(missing, userFiles());
    EXPECT_EQ(runTask(send.run()), FlowExit::usage);
}

TEST(FlowRules, AFinishedTransferFailsWhenCancelledBrokenOrMismatched)
{
    TransferSummary ok, cancelled, broken, mismatched;
    cancelled.cancelled = true;
    cancelled.error = broken.error = u"Not enough disk space"_s;
    mismatched.mismatches = {u"~/a"_s};
    EXPECT_EQ(failureOf(ok), std::nullopt);
    // A cancel wins over the error it caused.
    EXPECT_EQ(failureOf(cancelled)->text, u"The migration was cancelled. You can start over at any time."_s);
    EXPECT_EQ(failureOf(broken), (FlowFailure{FlowExit::transferFailed, broken.error}));
    EXPECT_EQ(failureOf(mismatched)->exitClass, FlowExit::transferFailed);
}
