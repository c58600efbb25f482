// SPDX-License-Identifier: Apache-2.0
// Peak memory of receiving a large manifest, one process per step so that
// nothing of the generator stays resident in the receiver:
//   kivo-manifest-memory generate ITEMS FILE   the manifest as a source encodes it
//   kivo-manifest-memory receive FILE          frame it, feed it through the frame
//                                              decoder in socket-sized pieces and
//                                              decode it as the destination does
//   kivo-manifest-memory destination FILE      a real destination engine receives it
//                                              over a loopback socket and acks it
// `receive` and `destination` print one JSON line with the peak resident set.

#include "platform/Error.h"
#include "platform/SslServer.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/HeaderOrPayload.h"
#include "transfer/TransferManifest.h"
#include "transfer/TransferSession.h"
#include "transfer/WireFormat.h"

#include <QCoreApplication>
#include <QCoroTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace kivo;

namespace {

// VmHWM of this process, in bytes.
qint64 peakResident()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

int generate(qsizetype count, const QString& path)
{
    TransferManifest m;
    m.transferID = QStringLiteral("6F9619FF-8B86-D011-B42D-00C04FC964FF");
    m.sourceHostname = QStringLiteral("old-machine");
    m.sourceHomeFolder = QStringLiteral("/home/ann");
    m.categoryIDs = m.categoryOrder = QStringList{QStringLiteral("userFiles")};
    m.createdAt = QDateTime::fromSecsSinceEpoch(1767225600, Qt::UTC);
    m.items.reserve(count);
    for (qsizetype i = 0; i < count; ++i) {
        TransferManifest::FileItem item;
        const QString rel = QStringLiteral("Documents/project-%1/notes-%2.txt").arg(i / 1000).arg(i);
        item.relativePath = QStringLiteral("~/") + rel;
        item.setAbsolutePath(QStringLiteral("/home/ann/") + rel);
        item.size = std::uint64_t(i % 97); // small enough for any disk to take

        item.categoryID = QStringLiteral("userFiles");
        item.mode = 0644;
        item.sourceModified = QDateTime::fromSecsSinceEpoch(1700000000 + i, Qt::UTC);
        m.totalSize += item.size;
        m.items.append(std::move(item));
    }
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(m.encoded()) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    return 0;
}

void report(const char* name, const QString& outcome, qsizetype items, qint64 manifestBytes, qint64 before,
            double seconds)
{
    const qint64 peak = peakResident();
    QJsonObject line{{QStringLiteral("case"), QLatin1String(name)},
                     {QStringLiteral("outcome"), outcome},
                     {QStringLiteral("items"), double(items)},
                     {QStringLiteral("manifestBytes"), double(manifestBytes)},
                     {QStringLiteral("peakRssBytes"), double(peak)},
                     {QStringLiteral("rssBeforeBytes"), double(before)},
                     {QStringLiteral("peakOverManifest"), double(peak - before) / double(std::max<qint64>(manifestBytes, 1))},
                     {QStringLiteral("seconds"), seconds}};
    std::printf("%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
}

MessageHeader manifestHead(qint64 bytes)
{
    MessageHeader header;
    header.type = MessageType::manifest;
    header.transferID = QStringLiteral("6F9619FF-8B86-D011-B42D-00C04FC964FF");
    header.sequenceNumber = 1;
    header.payloadSize = static_cast<std::uint32_t>(bytes);
    return header;
}

int receive(const QString& path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return 1;
    }
    const qint64 manifestBytes = in.size();
    const qint64 before = peakResident();
    QElapsedTimer timer;
    timer.start();

    const MessageHeader header = manifestHead(manifestBytes);
    FrameDecoder decoder;
    QString outcome = QStringLiteral("accepted");
    qsizetype items = 0;
    try {
        decoder.feed(WireFormat::encodeHead(header));
        // Socket-sized reads, as the session takes them.
        while (!decoder.hasMessage()) {
            const QByteArray piece = in.read(std::min<qint64>(decoder.bytesWanted(), 256 * 1024));
            if (piece.isEmpty())
                decoder.endOfStream();
            decoder.feed(piece);
        }
        const Message message = decoder.take();
        const std::optional<QByteArray> document = documentOf(message, &MessageHeader::manifestData);
        const TransferManifest manifest = TransferManifest::decode(*document);
        items = manifest.items.size();
    } catch (const Error& e) {
        outcome = e.description();
    }
    report("manifestReceive", outcome, items, manifestBytes, before, double(timer.elapsed()) / 1000.0);
    return outcome == QLatin1String("accepted") ? 0 : 1;
}

// The source's side is played by hand: the frame goes out in 1 MiB pieces, each
// sent before the next is read, so the sender holds little of it.
QCoro::Task<int> destination(QString path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        co_return 1;
    }
    const qint64 manifestBytes = in.size();
    const qint64 before = peakResident();
    QTemporaryDir home;
    // The process ends right after the measurement: the sockets, sessions and
    // the engine are left for it to drop rather than torn down under their events.
    auto* server = new SslServer;
    server->listen(QHostAddress::LocalHost);
    QSslSocket* accepted = nullptr;
    QObject::connect(server, &SslServer::socketAccepted, server, [&](QSslSocket* s) { accepted = s; });
    const quint16 port = server->serverPort();
    auto* clientSession = new TransferSession(new QSslSocket, TransferSession::Security::plain,
                                              [port](QSslSocket& s) { s.connectToHost(QHostAddress::LocalHost, port); });
    TransferSession& client = *clientSession;
    co_await client.connect();
    while (!accepted)
        co_await QCoro::sleepFor(std::chrono::milliseconds(1));
    auto* served = new TransferSession(accepted, TransferSession::Security::plain, nullptr);
    co_await served->connect();
    auto* destinationEngine = new DestinationTransfer(served, QStringLiteral("bench"), home.path());
    DestinationTransfer& engine = *destinationEngine;
    QElapsedTimer timer;
    timer.start();
    auto running = engine.run();
    QString outcome;
    try {
        co_await client.sendRaw(WireFormat::encodeHead(manifestHead(manifestBytes)));
        while (!in.atEnd())
            co_await client.sendRaw(in.read(1048576));
        const Message reply = co_await client.receiveMessage();
        outcome = reply.header.type == MessageType::manifestAck ? QStringLiteral("accepted") : toString(reply.header.type);
    } catch (const Error& e) {
        outcome = e.description();
    }
    const double seconds = double(timer.elapsed()) / 1000.0;
    report("manifestDestination", outcome, engine.progress()->totalFiles(), manifestBytes, before, seconds);
    std::fflush(stdout);
    co_return outcome == QLatin1String("accepted") ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("generate"))
        return generate(args[2].toLongLong(), args[3]);
    if (args.size() == 3 && args[1] == QLatin1String("receive"))
        return receive(args[2]);
    if (args.size() == 3 && args[1] == QLatin1String("destination")) {
        int rc = 1;
        QTimer::singleShot(0, &app, [&] {
            [](QString path, int& out) -> QCoro::Task<void> {
                out = co_await destination(std::move(path));
                QCoreApplication::exit(0);
            }(args[2], rc);
        });
        app.exec();
        return rc;
    }
    std::fprintf(stderr, "usage: kivo-manifest-memory generate ITEMS FILE | receive FILE | destination FILE\n");
    return 2;
}
