// Peak memory of receiving a large manifest, one process per step so that
// nothing of the generator stays resident in the receiver:
//   kivo-manifest-memory generate ITEMS FILE   the manifest as a source encodes it
//   kivo-manifest-memory receive FILE          frame it, feed it through the frame
//                                              decoder in socket-sized pieces and
//                                              decode it as the destination does
// `receive` prints one JSON line with the peak resident set.

#include "platform/Error.h"
#include "transfer/HeaderOrPayload.h"
#include "transfer/TransferManifest.h"
#include "transfer/WireFormat.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

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
        item.absolutePath = QStringLiteral("/home/ann/") + rel;
        item.size = 4096 + std::uint64_t(i % 7919);
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

    MessageHeader header;
    header.type = MessageType::manifest;
    header.transferID = QStringLiteral("6F9619FF-8B86-D011-B42D-00C04FC964FF");
    header.sequenceNumber = 1;
    header.payloadSize = static_cast<std::uint32_t>(manifestBytes);
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
    const qint64 peak = peakResident();
    QJsonObject line{{QStringLiteral("case"), QStringLiteral("manifestReceive")},
                     {QStringLiteral("outcome"), outcome},
                     {QStringLiteral("items"), double(items)},
                     {QStringLiteral("manifestBytes"), double(manifestBytes)},
                     {QStringLiteral("peakRssBytes"), double(peak)},
                     {QStringLiteral("rssBeforeBytes"), double(before)},
                     {QStringLiteral("peakOverManifest"), double(peak - before) / double(std::max<qint64>(manifestBytes, 1))},
                     {QStringLiteral("seconds"), double(timer.elapsed()) / 1000.0}};
    std::printf("%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
    return outcome == QLatin1String("accepted") ? 0 : 1;
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
    std::fprintf(stderr, "usage: kivo-manifest-memory generate ITEMS FILE | receive FILE\n");
    return 2;
}
