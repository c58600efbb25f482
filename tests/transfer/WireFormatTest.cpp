// SPDX-License-Identifier: Apache-2.0
#include "platform/Json.h"
#include "platform/SpoolFile.h"
#include "transfer/FileHasher.h"
#include "transfer/HeaderOrPayload.h"
#include "transfer/TransferError.h"
#include "transfer/TransferManifest.h"
#include "transfer/WireFormat.h"
#include "transfer/Verification.h"

#include <QtEndian>
#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

QByteArray prefix(quint32 length)
{
    char bytes[4];
    qToBigEndian(length, bytes);
    return QByteArray(bytes, 4);
}

MessageHeader simple(MessageType type)
{
    MessageHeader h;
    h.type = type;
    h.transferID = QStringLiteral("t");
    return h;
}

MessageHeader fullHeader()
{
    MessageHeader h;
    h.type = MessageType::chunkData;
    h.transferID = QStringLiteral("8C1D1D8E-1111-4C55-9C3B-2B8F0E6F6A01");
    h.sequenceNumber = 42;
    h.filePath = QStringLiteral("~/Documents/Ünïcode name.txt");
    h.chunkIndex = 3;
    h.totalChunks = 9;
    h.chunkHash = QString(64, u'a');
    h.payloadSize = 5;
    h.fileHashes = QList<FileVerification>{{QStringLiteral("~/a"), QString(64, u'b'), 7}};
    h.errorCode = QStringLiteral("disk_full");
    // Everything the encoder must escape.
    h.errorMessage = QStringLiteral("Insufficient \"disk\" space\\ \n\t\x01 \u00e9\u6f22");
    h.manifestData = QByteArray("{\"createdAt\":\"2026-01-31T09:05:00Z\"}");
    h.resumeState = QByteArray("\x00\x01\xff binary", 10);
    h.fileHashScheme = QStringLiteral("chunkDigests");
    h.fileBundles = 1048576;
    h.bundleFailures = QList<BundleFailure>{{QStringLiteral("~/x \"y\""), QStringLiteral("Hash mismatch"), false},
                                            {QStringLiteral("~/z"), QStringLiteral("Protected path"), true}};
    h.spaceNeeded = 6291462;
    h.spaceAvailable = 0;
    return h;
}

// Decodes every frame of a buffer through the incremental decoder, `step` bytes at a time;
// a buffer that ends inside a frame, or holds none, throws as the end of a stream does.
QList<Message> decodeAll(const QByteArray& bytes, qsizetype step)
{
    FrameDecoder decoder;
    QList<Message> out;
    for (qsizetype offset = 0; offset < bytes.size() || !decoder.atFrameStart() || out.isEmpty();) {
        if (offset >= bytes.size())
            decoder.endOfStream();
        const qsizetype n = std::min<qsizetype>({step, decoder.bytesWanted(), bytes.size() - offset});
        decoder.feed(QByteArrayView(bytes).sliced(offset, n));
        offset += n;
        if (decoder.hasMessage())
            out.append(decoder.take());
    }
    return out;
}

QString decodeError(const QByteArray& bytes)
{
    try {
        decodeAll(bytes, bytes.size() + 1);
    } catch (const Error& e) {
        return e.description();
    }
    return QStringLiteral("<no error>");
}

} // namespace

// Every kind round-trips in any split; a payload size of zero, or none, means no
// payload, and the next frame follows at once.
TEST(WireFormat, EveryMessageKindRoundTripsWhateverTheSplit)
{
    MessageHeader zero = simple(MessageType::fileAck);
    zero.payloadSize = 0;
    const MessageHeader absent = simple(MessageType::chunkAck);
    for (int t = 0; t <= static_cast<int>(MessageType::fileBundleAck); ++t) {
        MessageHeader h = fullHeader();
        h.type = static_cast<MessageType>(t);
        const QByteArray frames =
            WireFormat::encodeMessage(h, QByteArray("hello")) + WireFormat::encodeMessage(zero) + WireFormat::encodeMessage(absent);
        for (qsizetype step : {qsizetype(1), qsizetype(7), frames.size()}) {
            const QList<Message> all = decodeAll(frames, step);
            ASSERT_EQ(all.size(), 3);
            EXPECT_EQ(all[0].header, h) << toString(h.type).toStdString() << " step " << step;
            EXPECT_EQ(all[0].payload, QByteArray("hello"));
            EXPECT_FALSE(all[1].payload.has_value());
            EXPECT_EQ(all[2].header, absent);
            EXPECT_FALSE(all[2].payload.has_value());
        }
        EXPECT_EQ(messageTypeFromString(toString(h.type)), h.type);
    }
}

TEST(WireFormat, BadHeaderLengthsAndMalformedHeadersFailAndAShortStreamIsALostConnection)
{
    EXPECT_EQ(decodeError(prefix(0)), "Invalid protocol message: Invalid header length: 0");
    EXPECT_EQ(decodeError(prefix(1048577)), "Invalid protocol message: Invalid header length: 1048577");
    EXPECT_EQ(decodeError(QByteArray("\x00\x00", 2)), "Invalid protocol message: Invalid header length: 0");
    EXPECT_EQ(decodeError(QByteArray()), "Connection to the other Mac was lost");
    EXPECT_EQ(decodeError(prefix(20)), "Connection to the other Mac was lost");

    // Exactly 1 MiB of header is accepted: a valid header padded with spaces.
    MessageHeader h = simple(MessageType::pause);
    QByteArray json = h.encoded();
    json.append(QByteArray(1048576 - json.size(), ' '));
    EXPECT_EQ(decodeAll(prefix(1048576) + json, 65536).value(0).header, h);

    for (const QByteArray json : {R"({"type":"teleport","transferID":"t","sequenceNumber":1})",
                                  R"({"type":"pause","sequenceNumber":1})",
                                  R"({"type":"pause","transferID":"t","sequenceNumber":-1})",
                                  R"({"type":"pause","transferID":"t","sequenceNumber":1,"chunkIndex":4294967296})",
                                  R"([1,2,3])", "not json at all",
                                  R"({"type":"manifest","transferID":"t","sequenceNumber":1,"manifestData":"@@@"})"})
        EXPECT_NE(decodeError(prefix(json.size()) + json), "<no error>") << json.constData();
}

// Headers in the flat form are read without the JSON parser and come out as it
// reads them; anything else is left to it, so both ways agree on every text.
TEST(WireFormat, FlatHeadersReadDirectlyAgreeWithTheParser)
{
    const QByteArray ours = fullHeader().encoded();
    const struct {
        QByteArray json;
        bool flat;
    } cases[] = {
        {simple(MessageType::chunkAck).encoded(), true},
        {R"( { "type" : "chunkData" , "transferID":"t", "sequenceNumber":9007199254740992,
             "filePath":"~/a b/c.txt", "chunkIndex":4294967295, "chunkHash":"", "payloadSize":0 } )", true},
        {R"({"type":"fileAck","transferID":"t","sequenceNumber":0,"hashesRemaining":12})", true},
        {R"({"type":"manifestAck","transferID":"t","sequenceNumber":1,"fileHashScheme":"chunkDigests"})", true},
        {R"({"type":"manifestAck","transferID":"t","sequenceNumber":1,"fileHashScheme":2})", false},
        {R"({"type":"manifestAck","transferID":"t","sequenceNumber":1,"hardLinks":1})", true},
        {R"({"type":"fileComplete","transferID":"t","sequenceNumber":2,"filePath":"~/b","linkTarget":"~/a"})", true},
        {R"({"type":"manifest","transferID":"t","sequenceNumber":1,"fileBundles":1048576})", true},
        {R"({"type":"error","transferID":"t","sequenceNumber":2,"errorCode":"disk_full","spaceAvailable":5})", false},
        {R"({"type":"fileBundleAck","transferID":"t","sequenceNumber":3,"bundleFailures":[]})", false},
        {R"({"type":"fileBundleAck","transferID":"t","sequenceNumber":3,"bundleFailures":[{"filePath":"a"}]})", false},
        {R"({"type":"fileBundleAck","transferID":"t","sequenceNumber":3,
             "bundleFailures":[{"filePath":"a","errorMessage":"b","skipped":1}]})", false},
        {ours, !ours.contains("fileHashes") && !ours.contains("bundleFailures") && !ours.contains('\\')},
        {R"({"type":"pause","transferID":"t","sequenceNumber":9007199254740993})", false},
        {R"({"type":"pause","transferID":"t","sequenceNumber":1,"chunkIndex":4294967296})", false},
        {R"({"type":"pause","transferID":"t","sequenceNumber":1.0})", false},
        {R"({"type":"pause","transferID":"t","sequenceNumber":1e0})", false},
        {R"({"type":"pause","transferID":"t","sequenceNumber":01})", false},
        {R"({"type":"pause","transferID":"t","sequenceNumber":-1})", false},
        {R"({"type":"pause","transferID":"t","sequenceNumber":"1"})", false},
        {R"({"type":"pause","transferID":"t","sequenceNumber":1,"filePath":"caf\u00e9"})", false},
        {"{\"type\":\"pause\",\"transferID\":\"t\",\"sequenceNumber\":1,\"filePath\":\"caf\xc3\xa9\"}", false},
        {R"({"type":"pause","transferID":"t","sequenceNumber":1,"filePath":"a\"b"})", false},
        {R"({"type":"pause","transferID":"t","sequenceNumber":1,"filePath":null})", false},
        {R"({"type":"pause","transferID":"t","sequenceNumber":1,"type":"resume"})", false},
        {R"({"type":"pause","transferID":"t","sequenceNumber":1,"futureField":2})", false},
        {R"({"type":"pause","transferID":"t","sequenceNumber":1,})", false},
        {R"({"type":"pause","transferID":"t"})", false},
        {R"({"type":"teleport","transferID":"t","sequenceNumber":1})", false},
        {R"({"type":"pause","transferID":"t","sequenceNumber":1} x)", false},
    };
    for (const auto& c : cases) {
        const std::optional<MessageHeader> flat = MessageHeader::decodeFlat(c.json);
        EXPECT_EQ(flat.has_value(), c.flat) << c.json.constData();
        std::optional<MessageHeader> parsed;
        try {
            parsed = MessageHeader::fromJson(json::parseObject(c.json));
        } catch (const DecodingError&) {
        }
        if (flat) {
            EXPECT_EQ(parsed, flat) << c.json.constData();
        }
        if (parsed) {
            EXPECT_EQ(MessageHeader::decode(c.json), *parsed) << c.json.constData();
        }
    }
}

// Each kind's payload limit holds before any payload byte is taken; below it a
// large declared payload costs only what actually arrives.
TEST(WireFormat, DeclaredPayloadIsBoundedByMessageKind)
{
    constexpr std::uint32_t MiB = 1048576;
    const struct {
        MessageType type;
        std::uint32_t declared;
        bool accepted;
    } cases[] = {
        {MessageType::chunkData, MiB, true},
        {MessageType::chunkData, MiB + 1, false},
        {MessageType::fileBundle, MiB, true},
        {MessageType::fileBundle, MiB + 1, false},
        {MessageType::manifest, 512 * MiB, true},
        {MessageType::manifest, 512 * MiB + 1, false},
        {MessageType::verificationResponse, 300 * MiB, true},
        {MessageType::preFlightConflictResponse, 64 * MiB, true},
        {MessageType::chunkAck, 64 * 1024, true},
        {MessageType::chunkAck, 64 * 1024 + 1, false},
        {MessageType::error, 0xFFFFFFFFu, false},
    };
    for (const auto& c : cases) {
        MessageHeader h = simple(c.type);
        h.payloadSize = c.declared;
        FrameDecoder decoder;
        const QString label = toString(c.type) + QStringLiteral(" %1").arg(c.declared);
        try {
            decoder.feed(WireFormat::encodeHead(h) + QByteArray(10, 'x'));
            EXPECT_TRUE(c.accepted) << qPrintable(label);
            EXPECT_EQ(decoder.bytesWanted(), qint64(c.declared) - 10) << qPrintable(label);
        } catch (const TransferError& e) {
            EXPECT_FALSE(c.accepted) << qPrintable(label);
            EXPECT_TRUE(e.description().endsWith(QStringLiteral(" limit of %1 bytes").arg(WireFormat::maxPayloadSize(c.type))))
                << qPrintable(e.description());
        }
    }
}

TEST(HeaderOrPayload, DocumentsTooLargeForTheHeaderRideAsThePayload)
{
    for (const qsizetype size : {qsizetype(1000), qsizetype(WireFormat::kMaxHeaderLength)}) {
        const QByteArray document(size, 'm');
        Message m;
        m.payload = placeDocument(m.header, &MessageHeader::manifestData, document);
        EXPECT_EQ(m.header.manifestData.has_value(), size == 1000);
        EXPECT_EQ(m.header.payloadSize.value_or(0), size == 1000 ? 0u : std::uint32_t(size));
        EXPECT_EQ(documentOf(m, &MessageHeader::manifestData), document);
    }
    for (const qsizetype count : {qsizetype(2), qsizetype(20000)}) {
        QList<FileVerification> hashes;
        for (qsizetype i = 0; i < count; ++i)
            hashes.append({QStringLiteral("~/Documents/file-%1.txt").arg(i), QString(64, u'a'), std::uint64_t(i)});
        Message m;
        m.payload = placeHashes(m.header, hashes);
        EXPECT_EQ(m.header.fileHashes.has_value(), count == 2);
        EXPECT_EQ(hashesOf(m), hashes);
    }
    Message junk;
    junk.payload = QByteArray(R"([{"filePath": 1}])");
    EXPECT_FALSE(hashesOf(junk));
}

// A manifest too large to hold lands in a scratch file as it arrives, and
// reads back whole, in any split, while the decoder hands back what it has read.
TEST(HeaderOrPayload, ALargeManifestIsReceivedThroughAScratchFile)
{
    TransferManifest manifest;
    manifest.transferID = u"t"_s;
    manifest.createdAt = QDateTime::fromSecsSinceEpoch(0, Qt::UTC);
    for (int i = 0; i < 27000; ++i) {
        TransferManifest::FileItem item;
        item.relativePath = u"~/Music/album-%1/track.flac"_s.arg(i);
        item.setAbsolutePath(u"/home/a/Music/album-%1/track.flac"_s.arg(i));
        item.size = std::uint64_t(i);
        item.categoryID = u"userFiles"_s;
        manifest.items.append(item);
    }
    const QByteArray text = manifest.encoded();
    ASSERT_GT(text.size(), qsizetype(WireFormat::kSpoolAbove));
    MessageHeader h = simple(MessageType::manifest);
    h.payloadSize = std::uint32_t(text.size());
    for (const qsizetype step : {qsizetype(4096), qsizetype(3 << 20) + 7}) {
        const QList<Message> got = decodeAll(WireFormat::encodeMessage(h, text), step);
        ASSERT_EQ(got.size(), 1);
        ASSERT_TRUE(got[0].spool);
        ASSERT_EQ(got[0].payload, text);
        qsizetype reported = 0;
        const TransferManifest decoded = TransferManifest::decode(
            *got[0].payload, [&](qsizetype from, qsizetype to) {
                EXPECT_LT(from, to);
                reported = std::max(reported, to);
                got[0].spool->release(from, to);
            });
        EXPECT_GT(reported, text.size() / 2);
        EXPECT_EQ(decoded, manifest);
    }
}

// Hashes are held as 32 bytes; only the spelling the wire uses reads back,
// so comparing digests is comparing the texts exactly.
TEST(Verification, ComparesTheAnswerWithTheHashesSent)
{
    const QString a = FileHasher::sha256Hex("a");
    const QString b = FileHasher::sha256Hex("b");
    EXPECT_EQ(Sha256Digest::fromHex(a)->toHex(), a);
    for (const QString& bad : {a.toUpper(), a.left(63), a + u'0', QString(64, u'g'), QString()})
        EXPECT_FALSE(Sha256Digest::fromHex(bad)) << qPrintable(bad);

    QList<TransferManifest::FileItem> items;
    for (const QString& path : {u"~/upper"_s, u"~/same"_s, u"~/unsent"_s, u"~/other"_s, u"~/empty"_s,
                                u"~/earlier"_s, u"~/earlier-damaged"_s}) {
        items.append(TransferManifest::FileItem{});
        items.last().relativePath = path;
    }
    // Sent by an earlier run: no hash here, so only the destination's "no digest" counts.
    items[5].transferStatus = items[6].transferStatus = FileTransferStatus::completed;
    const SentHashes sent = {Sha256Digest::fromHex(a), Sha256Digest::fromHex(a), std::nullopt,
                             Sha256Digest::fromHex(a), Sha256Digest::fromHex(a)};
    const QList<FileVerification> answer = {{u"~/same"_s, a, 1},         {u"~/other"_s, b, 1},
                                            {u"~/empty"_s, QString(), 0}, {u"~/upper"_s, a.toUpper(), 1},
                                            {u"~/unsent"_s, b, 1},        {u"~/not-listed"_s, b, 1},
                                            {u"~/earlier"_s, b, 1},       {u"~/earlier-damaged"_s, QString(), 0}};
    const VerificationTally tally = compareWithSent(answer, items, ItemsByPath(items), sent);
    EXPECT_EQ(tally.checked, 8);
    EXPECT_EQ(tally.mismatches, (QStringList{u"~/other"_s, u"~/empty"_s, u"~/upper"_s, u"~/earlier-damaged"_s}));
}
