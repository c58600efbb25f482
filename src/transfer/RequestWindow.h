// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/MessageHeader.h"
#include "transfer/TransferError.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <cstdint>
#include <deque>
#include <optional>

namespace kivo {

// How much the source may keep unanswered.
struct WindowLimits {
    std::uint32_t requests = 1;
    // Payload bytes of unanswered chunks; 0: no limit beyond the count.
    std::uint64_t bytes = 0;

    // What this program offers and asks for: deep enough to hide a few
    // milliseconds of round trip behind small files, small enough that
    // neither side holds more than a few MiB of chunks.
    static WindowLimits ours() { return {1024, 4u * 1024 * 1024}; }
    // The source keeps the smaller of its own limits and the destination's;
    // a destination that announces nothing gets one request at a time.
    static WindowLimits negotiate(const WindowLimits& own, const MessageHeader& manifestAck);
    bool isStopAndWait() const { return requests <= 1; }
    bool operator==(const WindowLimits&) const = default;
};

// The source's requests still waiting for their replies, oldest first. The
// destination answers every chunkData and fileComplete, in the order sent, so
// each reply belongs to the oldest request. This decides what a reply means;
// the engine does the sending.
class RequestWindow {
public:
    static constexpr int kMaxChunkAttempts = 3;
    // A fileAck carrying this code: the destination still misses chunks of
    // the file; the fileComplete sent after their resends finishes it.
    static constexpr const char* kChunksPending = "chunks_pending";
    // A fileAck carrying this code: the destination would not make the file a
    // link to the one named; it takes the file's bytes instead.
    static constexpr const char* kLinkRefused = "link_refused";
    // A chunkNack carrying this code: the destination failed the file for good
    // (a folder it cannot write, something in the way); errorMessage says why.
    static constexpr const char* kFileFailed = "file_failed";

    // One whole file of a bundle: its bytes are the request's from `offset`.
    struct BundledFile {
        qsizetype item = -1;
        QString path;
        QString hash;
        qsizetype offset = 0;
        qsizetype size = 0;
        // Sends of this file before this one.
        int attempt = 0;
    };

    struct Request {
        // link: the file's fileComplete naming another of its names, instead of its bytes.
        // bundle: whole small files, `files`, their bytes one after another in `bytes`.
        enum class Kind { chunk, fileComplete, link, bundle };
        Kind kind = Kind::chunk;
        qsizetype item = -1;
        QString path;
        std::uint32_t chunkIndex = 0;
        std::uint32_t totalChunks = 0;
        // Kept until the chunk is acknowledged: a rejected one is sent again.
        QByteArray bytes;
        // The chunk's hash, or the whole file's for fileComplete.
        QString hash;
        // Sends of this chunk before this one.
        int attempt = 0;
        // Sent as a hole marker: `bytes` are zeros the destination does not need.
        bool hole = false;
        // For a link: the item whose file this one is.
        QString linkTarget;
        QList<BundledFile> files;
    };

    struct Outcome {
        enum class Kind {
            chunkStored,
            fileDone,
            // Send `request` again, then `completeAgain` when there is one.
            resend,
            // The file is given up: `failure` says why; later replies for it are ignored.
            fileFailed,
            // The destination will not take the file (fileSkip): `skipReason`; later replies for it are ignored.
            skippedByDestination,
            // The destination failed the file (kFileFailed): `skipReason` says why; later replies for it are ignored.
            failedByDestination,
            // The destination would not take the file as a link: its bytes are to follow.
            linkRefused,
            // A bundle's reply: `bundleFailures` names the files that did not land.
            bundleAnswered,
            ignored,
            diskFull,
        };
        Kind kind = Kind::ignored;
        Request request;
        std::optional<Request> completeAgain;
        std::optional<TransferError> failure;
        QString skipReason;
        QList<BundleFailure> bundleFailures;
        // A chunkNack, logged as a rejection.
        bool rejected = false;
        // diskFull: what the destination said of its room, when it did.
        std::optional<std::uint64_t> spaceNeeded, spaceAvailable;
    };

    explicit RequestWindow(WindowLimits limits = {}) : m_limits(limits) {}

    const WindowLimits& limits() const { return m_limits; }
    // Whether a request carrying `payloadBytes` may go out now.
    bool hasRoom(qsizetype payloadBytes) const;
    bool isEmpty() const { return m_requests.empty(); }
    qsizetype size() const { return qsizetype(m_requests.size()); }
    std::uint64_t bytesInFlight() const { return m_bytes; }

    void sent(Request request);
    // The reply to the oldest request; call only while one is waiting.
    Outcome answer(const MessageHeader& reply);
    // The sender gave the file up itself; replies still due for it are ignored.
    void failFile(qsizetype item) { m_failed.insert(item); }
    bool hasFailed(qsizetype item) const { return m_failed.contains(item); }

private:
    struct FileState {
        int completesInFlight = 0;
        // Older fileCompletes overtaken by a resend: their replies mean nothing.
        int superseded = 0;
        QString wholeHash;
    };
    // A fileComplete's reply taken off its file; true when a resend overtook it.
    bool completionAnswered(qsizetype item);
    Outcome failed(Outcome out, TransferError error);
    Outcome answerLink(Outcome out, const MessageHeader& reply);
    Outcome answerCompletion(Outcome out, const MessageHeader& reply);
    Outcome answerChunk(Outcome out, const MessageHeader& reply);
    std::optional<Request> completionAfterResend(const Request& resent);

    WindowLimits m_limits;
    std::deque<Request> m_requests;
    std::uint64_t m_bytes = 0;
    QHash<qsizetype, FileState> m_files;
    QSet<qsizetype> m_failed;
};

} // namespace kivo
