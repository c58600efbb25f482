// SPDX-License-Identifier: Apache-2.0
// The window while it transfers: one role of the desktop application, offscreen,
// against a kivo-cli peer. A frame is asked for every 16 ms; prints one JSON
// line with the longest gap between swapped frames during the transfer, the
// progress figures published per second, and the transfer's files per second
// as the kivo-cli peer measured it.
//   kivo-gui-bench --role source|destination --home DIR --peer-home DIR --cli PATH
#include "app/AppState.h"
#include "connection/ConnectionManager.h"
#include "gui/KivoGui.h"
#include "gui/ProgressFeed.h"
#include "platform/Logging.h"
#include "platform/ProcessSetup.h"
#include "transfer/TransferProgress.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTimer>

#include <cstdio>

using namespace kivo;

namespace {

struct Peer {
    QProcess process;
    QByteArray pending;
    QJsonObject advertising;
    QJsonObject summary;

    void start(const QString& program, const QStringList& args)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
            pending += process.readAllStandardOutput();
            qsizetype nl;
            while ((nl = pending.indexOf('\n')) >= 0) {
                const QJsonObject e = QJsonDocument::fromJson(pending.left(nl)).object();
                pending.remove(0, nl + 1);
                const QString name = e.value(QStringLiteral("event")).toString();
                if (name == QLatin1String("advertising") && advertising.isEmpty())
                    advertising = e;
                else if (name == QLatin1String("summary"))
                    summary = e;
            }
        });
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, args);
    }
};

// Runs the event loop as the application would, looking at `done` now and then.
bool waitFor(const std::function<bool()>& done, int seconds)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    poll.start(20);
    loop.exec();
    return done();
}

int fail(const char* why)
{
    std::fprintf(stderr, "kivo-gui-bench: %s\n", why);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    prepareProcess();
    QGuiApplication app(argc, argv);
    installLogging(/*quiet=*/true);
    const QStringList a = app.arguments();
    const auto arg = [&a](const char* flag) {
        const qsizetype i = a.indexOf(QString::fromLatin1(flag));
        return i >= 0 && i + 1 < a.size() ? a.at(i + 1) : QString();
    };
    const bool source = arg("--role") == QLatin1String("source");
    const QString cli = arg("--cli");

    SessionEnvironment environment;
    environment.homeFolder = arg("--home");
    environment.hostname = QStringLiteral("gui-bench");
    AppState state(environment);
    gui::ProgressFeed feed(&state, Clock::system());
    QQmlApplicationEngine engine;
    QQuickWindow* window = gui::loadMainWindow(engine, &state, &feed);
    if (!window)
        return fail("the window did not load");

    Peer peer;
    if (source) {
        state.goToNext();
        state.chooseRoleNamed(QStringLiteral("source"));
        peer.start(cli, {"receive", "--home", arg("--peer-home"), "--connect",
                         QStringLiteral("127.0.0.1:%1").arg(state.connectionManager()->listeningPort()), "--code",
                         state.pairingCodeText(), "--json"});
    } else {
        peer.start(cli, {"send", "--home", arg("--peer-home"), "--categories", "userFiles", "--json"});
        if (!waitFor([&] { return !peer.advertising.isEmpty(); }, 60))
            return fail("the sender did not advertise");
        const DiscoveredPeer p = peerForAddress(QStringLiteral("127.0.0.1"),
                                                quint16(peer.advertising.value(QStringLiteral("port")).toInt()), std::nullopt);
        state.addDirectPeer(p);
        state.goToNext();
        state.chooseRoleNamed(QStringLiteral("destination"));
        state.choosePeer(p.id);
        state.submitCode(peer.advertising.value(QStringLiteral("code")).toString());
    }
    if (!waitFor([&] { return state.currentStep() == MigrationStep::userMapping; }, 60))
        return fail("pairing did not complete");
    state.confirmProposedUserMapping();
    if (source) {
        for (const QVariant& row : state.categoryRows()) {
            const QVariantMap c = row.toMap();
            if (c.value(QStringLiteral("selected")).toBool() != (c.value(QStringLiteral("id")) == QLatin1String("userFiles")))
                state.toggleCategory(c.value(QStringLiteral("id")).toString());
        }
        waitFor([&] { return !state.scanningFolders() && !state.calculatingSizes(); }, 600);
        while (state.currentStep() != MigrationStep::progress)
            state.goToNext();
    }

    // Frames asked for at 60 Hz; the gaps between the ones actually swapped.
    QTimer ticker;
    ticker.setInterval(16);
    QObject::connect(&ticker, &QTimer::timeout, window, [window] { window->update(); });
    QElapsedTimer sinceSwap;
    qint64 longestGap = 0;
    bool measuring = false;
    QObject::connect(window, &QQuickWindow::frameSwapped, window, [&] {
        if (measuring && sinceSwap.isValid()) {
            longestGap = std::max(longestGap, sinceSwap.elapsed());
            if (qEnvironmentVariableIsSet("KIVO_BENCH_TRACE") && sinceSwap.elapsed() > 50)
                std::fprintf(stderr, "gap %lld ms at step %d, phase %s, %lld files\n", sinceSwap.elapsed(),
                             int(state.currentStep()), qPrintable(feed.phase()),
                             qlonglong(state.transferProgress()->filesCompleted()));
        }
        sinceSwap.restart();
    }, Qt::DirectConnection);
    // The steady pace: publications while the files stream, first to last
    // (a phase change adds one at once, which is not the pace).
    QList<qint64> transferringAt;
    QElapsedTimer sinceStart;
    sinceStart.start();
    QObject::connect(&feed, &gui::ProgressFeed::published, &feed, [&] {
        if (feed.phase() == QLatin1String("transferring"))
            transferringAt << sinceStart.elapsed();
    });
    measuring = true;
    ticker.start();
    if (!waitFor([&] { return state.currentStep() == MigrationStep::complete; }, 3600))
        return fail("the transfer did not finish");
    measuring = false;
    const double paceSeconds = transferringAt.size() > 1 ? (transferringAt.last() - transferringAt.first()) / 1000.0 : 0;
    const double updatesPerSecond = paceSeconds > 0 ? (transferringAt.size() - 1) / paceSeconds : 0;
    peer.process.waitForFinished(60000);

    const double peerSeconds = peer.summary.value(QStringLiteral("durationSeconds")).toDouble();
    const int files = peer.summary.value(QStringLiteral("filesCompleted")).toInt();
    const QJsonObject line{{QStringLiteral("case"), source ? QStringLiteral("gui-source") : QStringLiteral("gui-destination")},
                           {QStringLiteral("files"), files},
                           {QStringLiteral("peerExit"), peer.process.exitCode()},
                           {QStringLiteral("transferSeconds"), peerSeconds},
                           {QStringLiteral("filesPerSecond"), peerSeconds > 0 ? files / peerSeconds : 0},
                           {QStringLiteral("longestFrameGapMs"), longestGap},
                           {QStringLiteral("figureUpdatesPerSecond"), updatesPerSecond}};
    std::printf("%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
    return peer.process.exitCode() == 0 && state.transferProgress()->isComplete() ? 0 : 1;
}
