// SPDX-License-Identifier: Apache-2.0
#include "cli/DemoCommand.h"

#include "app/DemoData.h"
#include "cli/Reporter.h"
#include "platform/ByteCount.h"
#include "platform/HostNames.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <map>

namespace kivo::cli {

namespace {

constexpr quint32 kDemoSeed = DemoData::kDemoSeed;
constexpr int kDemoTimeoutMs = 5 * 60 * 1000;

// Relative path -> (sha256, mode) of every regular file below `root`.
std::map<QString, QPair<QByteArray, int>> fingerprint(const QString& root)
{
    std::map<QString, QPair<QByteArray, int>> out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.contains(QStringLiteral("/.local/share/kivo/")))
            continue; // our own bookkeeping, not migrated data
        QFile file(path);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (file.open(QIODevice::ReadOnly))
            hash.addData(&file);
        out[path.mid(root.size())] = {hash.result(), int(file.permissions())};
    }
    return out;
}

struct Child {
    QProcess process;
    QByteArray pending;
    QList<QJsonObject> events;
};

// Splits a child's stdout into JSON events as they arrive.
void collectEvents(Child& child, const std::function<void(const QJsonObject&)>& onEvent)
{
    QObject::connect(&child.process, &QProcess::readyReadStandardOutput, &child.process, [&child, onEvent] {
        child.pending += child.process.readAllStandardOutput();
        qsizetype newline;
        while ((newline = child.pending.indexOf('\n')) >= 0) {
            const QJsonObject event = QJsonDocument::fromJson(child.pending.left(newline)).object();
            child.pending.remove(0, newline + 1);
            if (event.isEmpty())
                continue;
            child.events.append(event);
            onEvent(event);
        }
    });
}

// The receiver's events worth showing beside the demo's own lines.
void showReceiverEvent(Reporter& out, const QJsonObject& e)
{
    const QString name = e.value(QStringLiteral("event")).toString();
    if (name == QLatin1String("progress")) {
        ProgressSnapshot p;
        p.bytes = static_cast<std::uint64_t>(e.value(QStringLiteral("bytes")).toDouble());
        p.totalBytes = static_cast<std::uint64_t>(e.value(QStringLiteral("totalBytes")).toDouble());
        p.files = e.value(QStringLiteral("files")).toInt();
        p.totalFiles = e.value(QStringLiteral("totalFiles")).toInt();
        p.bytesPerSecond = e.value(QStringLiteral("bytesPerSecond")).toDouble();
        p.currentFile = e.value(QStringLiteral("currentFile")).toString();
        p.verifying = e.value(QStringLiteral("verifying")).toBool();
        out.progress(p);
    } else if (name == QLatin1String("paired")) {
        out.event(name, {}, QStringLiteral("Paired with %1").arg(e.value(QStringLiteral("peer")).toString()));
    } else if (name == QLatin1String("fileError")) {
        out.event(name, {}, QStringLiteral("  ! %1: %2").arg(e.value(QStringLiteral("path")).toString(),
                                                            e.value(QStringLiteral("error")).toString()));
    }
}

struct DemoHomes {
    QString source;
    QString destination;
};

DemoHomes prepareHomes(const DemoOptions& options)
{
    const DemoHomes homes{options.workdir + QStringLiteral("/source-home"),
                          options.workdir + QStringLiteral("/destination-home")};
    std::printf("kivo demo: migrating a sample home folder between two local kivo processes\n");
    const DemoData::Summary sample = DemoData::buildSampleHome(homes.source, options.files, kDemoSeed);
    std::printf("  source       %s (%d files, %s)\n", qPrintable(homes.source), sample.files,
                qPrintable(formatFileSize(sample.bytes)));
    QDir(homes.destination).removeRecursively();
    QDir().mkpath(homes.destination);
    std::printf("  destination  %s (empty)\n\n", qPrintable(homes.destination));
    std::fflush(stdout);
    return homes;
}

// Starts the sender, then the receiver once the sender shows its port and code;
// false when they did not both finish in time.
bool runBoth(const DemoHomes& homes, Reporter& out, Child& sender, Child& receiver)
{
    const QString self = QCoreApplication::applicationFilePath();
    QEventLoop loop;
    int exits = 0;
    bool receiverStarted = false;

    collectEvents(receiver, [&out](const QJsonObject& e) { showReceiverEvent(out, e); });
    collectEvents(sender, [&](const QJsonObject& e) {
        if (e.value(QStringLiteral("event")).toString() != QLatin1String("advertising") || receiverStarted)
            return;
        receiverStarted = true;
        const QString code = e.value(QStringLiteral("code")).toString();
        const int port = e.value(QStringLiteral("port")).toInt();
        out.event(QStringLiteral("advertising"), {},
                  QStringLiteral("Source listening on port %1, pairing code %2").arg(port).arg(code));
        receiver.process.start(self, {QStringLiteral("receive"), QStringLiteral("--home"), homes.destination,
                                      QStringLiteral("--connect"), QStringLiteral("127.0.0.1:%1").arg(port),
                                      QStringLiteral("--code"), code, QStringLiteral("--json")});
    });

    auto finished = [&] {
        if (++exits == 2)
            loop.quit();
    };
    QObject::connect(&sender.process, &QProcess::finished, &loop, finished);
    QObject::connect(&receiver.process, &QProcess::finished, &loop, finished);
    QObject::connect(&sender.process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            loop.quit();
    });
    sender.process.setProcessChannelMode(QProcess::SeparateChannels);
    receiver.process.setProcessChannelMode(QProcess::SeparateChannels);
    sender.process.start(self, {QStringLiteral("send"), QStringLiteral("--home"), homes.source,
                                QStringLiteral("--categories"), QStringLiteral("userFiles"),
                                QStringLiteral("--hostname"), QStringLiteral("demo-source"),
                                QStringLiteral("--username"), host::loginUserName(), QStringLiteral("--json")});
    QTimer::singleShot(kDemoTimeoutMs, &loop, &QEventLoop::quit);
    loop.exec();

    if (sender.process.state() == QProcess::NotRunning && receiver.process.state() == QProcess::NotRunning)
        return true;
    sender.process.kill();
    receiver.process.kill();
    return false;
}

// Judges the result independently of what the processes reported; the exit code.
int judge(const DemoHomes& homes, Reporter& out, Child& sender, Child& receiver, double seconds)
{
    const int sendExit = sender.process.exitCode();
    const int receiveExit = receiver.process.exitCode();
    QJsonObject summary;
    for (const QJsonObject& e : receiver.events)
        if (e.value(QStringLiteral("event")).toString() == QLatin1String("summary"))
            summary = e;

    const auto expected = fingerprint(homes.source);
    const auto actual = fingerprint(homes.destination);
    int missing = 0, different = 0;
    for (const auto& [path, print] : expected) {
        const auto it = actual.find(path);
        if (it == actual.end())
            ++missing;
        else if (it->second != print)
            ++different;
    }

    const auto bytes = static_cast<std::uint64_t>(summary.value(QStringLiteral("bytes")).toDouble());
    std::printf("\n\nResult\n");
    std::printf("  files moved      %d of %d\n", summary.value(QStringLiteral("filesCompleted")).toInt(),
                summary.value(QStringLiteral("totalFiles")).toInt());
    std::printf("  data             %s in %.1f s\n", qPrintable(formatFileSize(bytes)), seconds);
    std::printf("  verified         %d files by SHA-256, %d mismatches\n",
                summary.value(QStringLiteral("verified")).toInt(),
                int(summary.value(QStringLiteral("mismatches")).toArray().size()));
    std::printf("  independent diff %zu files compared: %d missing, %d different (content or mode)\n",
                expected.size(), missing, different);
    std::printf("  exit codes       send %d, receive %d\n", sendExit, receiveExit);
    if (sendExit != 0 || receiveExit != 0 || missing != 0 || different != 0) {
        const QByteArray err = sender.process.readAllStandardError() + receiver.process.readAllStandardError();
        out.error(QStringLiteral("kivo demo: the migration did not complete cleanly\n") + QString::fromUtf8(err.right(4000)));
        return exitTransferFailed;
    }
    std::printf("\nThe destination home now holds an exact copy of the source's user folders.\n");
    return exitSuccess;
}

} // namespace

int runDemo(const DemoOptions& options)
{
    Reporter out(Reporter::detect(false));
    const DemoHomes homes = prepareHomes(options);
    QElapsedTimer clock;
    clock.start();
    Child sender;
    Child receiver;
    if (!runBoth(homes, out, sender, receiver)) {
        out.error(QStringLiteral("kivo demo: the migration did not finish in time"));
        return exitTransferFailed;
    }
    return judge(homes, out, sender, receiver, clock.elapsed() / 1000.0);
}

} // namespace kivo::cli
