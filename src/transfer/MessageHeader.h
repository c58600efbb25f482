// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace kivo {

class SpoolFile;

enum class MessageType {
    pairingConfirm,
    manifest,
    manifestAck,
    chunkData,
    chunkAck,
    chunkNack,
    fileComplete,
    fileAck,
    fileSkip,
    categoryStart,
    categoryComplete,
    verificationRequest,
    verificationResponse,
    transferComplete,
    error,
    pause,
    resume,
    preFlightConflictRequest,
    preFlightConflictResponse,
    // The code-proving exchange that precedes everything else between two kivo peers.
    pairingRequest,
    pairingResponse,
    // Ours, once both peers agreed on them: many whole small files in one
    // frame, and its one reply naming the files that did not land.
    fileBundle,
    fileBundleAck,
};

QString toString(MessageType type);
// nullopt for a string that names no message kind.
std::optional<MessageType> messageTypeFromString(const QString& text);

struct FileVerification {
    QString filePath;
    QString sha256Hash;
    std::uint64_t size = 0;

    QJsonObject toJson() const;
    static FileVerification fromJson(const QJsonObject& o); // throws DecodingError
    bool operator==(const FileVerification&) const = default;
};

// A JSON array of the entries, compact, written without building a document.
QByteArray encodeFileHashes(const QList<FileVerification>& hashes);

// A file of a fileBundle that did not land, with the reason its own chunkNack
// would have given; `skipped` when the destination will not take it at all
// (what a fileSkip reply says), `failed` when it failed there for good (a
// chunkNack with RequestWindow::kFileFailed): neither is sent again.
struct BundleFailure {
    QString filePath;
    QString errorMessage;
    bool skipped = false;
    bool failed = false;

    QJsonObject toJson() const;
    static BundleFailure fromJson(const QJsonObject& o); // throws DecodingError
    bool operator==(const BundleFailure&) const = default;
};

struct MessageHeader {
    MessageType type = MessageType::error;
    QString transferID;
    std::uint64_t sequenceNumber = 0;
    std::optional<QString> filePath;
    std::optional<std::uint32_t> chunkIndex;
    std::optional<std::uint32_t> totalChunks;
    std::optional<QString> chunkHash;
    std::optional<std::uint32_t> payloadSize;
    std::optional<QList<FileVerification>> fileHashes;
    std::optional<QString> errorCode;
    std::optional<QString> errorMessage;
    std::optional<QByteArray> manifestData;
    std::optional<QByteArray> resumeState;
    // Ours, ignored by peers that do not know it. On chunkData: the chunk is this
    // many zero bytes of a hole, sent without a payload. On manifestAck: the
    // destination takes such chunks, up to this size.
    std::optional<std::uint32_t> holeSize;
    // Our own addition to manifestAck: how many requests, and how many payload
    // bytes, the destination lets the source keep unanswered. Absent: one.
    std::optional<std::uint32_t> maxInFlight;
    std::optional<std::uint32_t> maxInFlightBytes;
    // Ours as well. On verificationRequest: the source takes the hashes in
    // several verificationResponse messages. Each of those then says how many
    // entries are still to come (0 on the last); a peer that does not know the
    // request field answers in one message without this one.
    std::optional<std::uint32_t> hashBatches;
    std::optional<std::uint64_t> hashesRemaining;
    // Ours too. On manifest: the file hash scheme the source offers. On
    // manifestAck: the one the destination took; absent, whole-file SHA-256.
    std::optional<QString> fileHashScheme;
    // Ours too. On manifestAck: the destination makes a file that is another
    // name of one already sent a link to it (the version of that rule, 1).
    // On fileComplete to such a destination: this file is the same as the
    // item named here, and arrives as a link to it instead of as bytes.
    std::optional<std::uint32_t> hardLinks;
    std::optional<QString> linkTarget;
    // Ours too. On manifest: the source would put several whole small files
    // in one fileBundle, of at most this many payload bytes. On manifestAck:
    // the destination takes them, up to this size. On fileBundle, `fileHashes`
    // lists its files in payload order; fileBundleAck lists the failed ones here.
    std::optional<std::uint32_t> fileBundles;
    std::optional<QList<BundleFailure>> bundleFailures;
    // Ours too. On a "disk_full" error: the free bytes the destination had and,
    // when it refuses the manifest, the bytes it still lacked room for; without
    // them the source can only guess.
    std::optional<std::uint64_t> spaceNeeded;
    std::optional<std::uint64_t> spaceAvailable;

    // Compact JSON, fields in declaration order, absent optionals left out.
    QByteArray encoded() const;
    static MessageHeader fromJson(const QJsonObject& o); // throws DecodingError
    // The header in a frame's JSON text. Throws DecodingError.
    static MessageHeader decode(QByteArrayView json);
    // The same, read directly when the text is a flat object of known keys
    // with plain ASCII strings and whole numbers (every header a kivo peer
    // writes for a file with a plain name); nullopt for anything else, which
    // `decode` leaves to the JSON parser. Either way the header is the same.
    static std::optional<MessageHeader> decodeFlat(QByteArrayView json);
    bool operator==(const MessageHeader&) const = default;
};

struct Message {
    MessageHeader header;
    std::optional<QByteArray> payload;
    // A large manifest's payload lands in a scratch file: `payload` then reads
    // that file's bytes and is valid only while this is held.
    std::shared_ptr<const SpoolFile> spool;
};

} // namespace kivo
