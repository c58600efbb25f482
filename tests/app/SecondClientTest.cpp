#include "app/AppState.h"
#include "app/DemoData.h"
#include "app/ReceiveFlow.h"
#include "app/SendFlow.h"
#include "support/CoroTest.h"
#include "support/TreeCompare.h"
#include "transfer/SourceTransfer.h"

#include <QSslSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

// A stranger that connects to the source while a transfer runs is turned away
// without touching the running session, and the migration completes whole.
// The source holds its transfer until the stranger has been answered, so the
// refusal always lands in the middle of it.
TEST(SecondClient, IsRefusedWhileATransferRunsAndTheTransferCompletes)
{
    QTemporaryDir work;
    const QString source = work.filePath(u"src"_s);
    const QString destination = work.filePath(u"dst"_s);
    DemoData::buildSampleHome(source, 20, 5);

    AppState sourceState({source, u"old-box"_s, u"ann"_s, 0, nullptr});
    SendFlow send(sourceState, {QStringList{u"userFiles"_s}, std::nullopt, std::nullopt, std::nullopt});
    AppState destinationState({destination, {}, {}, 0, nullptr});
    std::unique_ptr<ReceiveFlow> receive;
    std::optional<QCoro::Task<FlowExit>> receiving;
    quint16 port = 0;
    QObject::connect(&send, &SendFlow::advertising, [&](const Advertisement& a) {
        port = a.port;
        ReceiveFlow::Request request;
        request.directHost = u"127.0.0.1"_s;
        request.directPort = a.port;
        request.code = a.code;
        receive = std::make_unique<ReceiveFlow>(destinationState, std::move(request));
        receiving.emplace(receive->run());
    });

    QSslSocket stranger;
    stranger.setPeerVerifyMode(QSslSocket::VerifyNone);
    bool answered = false;
    bool strangerEncrypted = false;
    const auto release = [&] {
        if (answered)
            return;
        answered = true;
        static_cast<SourceTransfer*>(sourceState.transferEngine())->setPaused(false);
    };
    QObject::connect(&stranger, &QSslSocket::encrypted, [&] { strangerEncrypted = true; });
    QObject::connect(&stranger, &QSslSocket::disconnected, release);
    QObject::connect(&stranger, &QSslSocket::errorOccurred, release);
    QObject::connect(&send, &MigrationFlow::categoryStarted, [&] {
        if (stranger.state() != QAbstractSocket::UnconnectedState || answered)
            return;
        static_cast<SourceTransfer*>(sourceState.transferEngine())->setPaused(true);
        stranger.connectToHostEncrypted(u"127.0.0.1"_s, port);
    });

    EXPECT_EQ(runTask(send.run()), FlowExit::success);
    ASSERT_TRUE(receiving);
    EXPECT_EQ(runTask(std::move(*receiving)), FlowExit::success);
    EXPECT_TRUE(answered) << "the stranger was turned away during the transfer";
    EXPECT_FALSE(strangerEncrypted) << "no handshake with a stranger while a peer is connected";
    EXPECT_EQ(treeDifferences(source + u"/Documents"_s, destination + u"/Documents"_s), QStringList());
}
