// SPDX-License-Identifier: Apache-2.0
#include "transfer/RequestWindow.h"

#include <algorithm>

namespace kivo {

WindowLimits WindowLimits::negotiate(const WindowLimits& own, const MessageHeader& manifestAck)
{
    WindowLimits limits;
    limits.requests = std::clamp<std::uint32_t>(manifestAck.maxInFlight.value_or(1), 1, std::max(own.requests, 1u));
    if (limits.requests == 1)
        return limits;
    limits.bytes = own.bytes;
    if (manifestAck.maxInFlightBytes) {
        // A byte limit below one chunk still lets one chunk through at a time.
        const std::uint64_t theirs = std::max<std::uint64_t>(*manifestAck.maxInFlightBytes, 1);
        limits.bytes = limits.bytes == 0 ? theirs : std::min(limits.bytes, theirs);
    }
    return limits;
}

bool RequestWindow::hasRoom(qsizetype payloadBytes) const
{
    if (m_requests.empty())
        return true;
    if (m_requests.size() >= m_limits.requests)
        return false;
    return m_limits.bytes == 0 || m_bytes + std::uint64_t(payloadBytes) <= m_limits.bytes;
}

void RequestWindow::sent(Request request)
{
    if (request.kind == Request::Kind::fileComplete) {
        FileState& file = m_files[request.item];
        file.completesInFlight += 1;
        file.wholeHash = request.hash;
    }
    m_bytes += std::uint64_t(request.bytes.size());
    m_requests.push_back(std::move(request));
}

bool RequestWindow::completionAnswered(qsizetype item)
{
    const auto it = m_files.find(item);
    if (it == m_files.end())
        return false;
    bool superseded = false;
    it->completesInFlight -= 1;
    if (it->superseded > 0) {
        it->superseded -= 1;
        superseded = true;
    }
    if (it->completesInFlight == 0)
        m_files.erase(it);
    return superseded;
}

namespace {

// A fileBundleAck names its failures; any other reply answers for none of the
// bundle's files, so each goes again, as a chunk would.
QList<BundleFailure> bundleFailures(const MessageHeader& reply, const QList<RequestWindow::BundledFile>& files)
{
    if (reply.type == MessageType::fileBundleAck)
        return reply.bundleFailures.value_or(QList<BundleFailure>{});
    const QString reason = reply.type == MessageType::error
        ? reply.errorMessage.value_or(QStringLiteral("Unexpected error during chunk transfer"))
        : QStringLiteral("Expected fileBundleAck, got ") + toString(reply.type);
    QList<BundleFailure> failures;
    for (const RequestWindow::BundledFile& f : files)
        failures.append({f.path, reason, false});
    return failures;
}

} // namespace

RequestWindow::Outcome RequestWindow::answer(const MessageHeader& reply)
{
    Outcome out;
    out.request = std::move(m_requests.front());
    m_requests.pop_front();
    const Request& r = out.request;
    m_bytes -= std::uint64_t(r.bytes.size());
    const bool isComplete = r.kind == Request::Kind::fileComplete;
    const bool superseded = isComplete && completionAnswered(r.item);
    const bool diskFull = reply.errorCode == QLatin1String("disk_full")
        && (reply.type == MessageType::chunkNack || reply.type == MessageType::error);
    out.rejected = r.kind == Request::Kind::chunk && reply.type == MessageType::chunkNack;
    if (diskFull) {
        out.kind = Outcome::Kind::diskFull;
        out.spaceNeeded = reply.spaceNeeded;
        out.spaceAvailable = reply.spaceAvailable;
        return out;
    }
    if (r.kind == Request::Kind::bundle) {
        out.kind = Outcome::Kind::bundleAnswered;
        out.bundleFailures = bundleFailures(reply, r.files);
        return out;
    }
    if (m_failed.contains(r.item) || superseded)
        return out;
    if (reply.type == MessageType::fileSkip) {
        out.kind = Outcome::Kind::skippedByDestination;
        out.skipReason = reply.errorMessage.value_or(QStringLiteral("Skipped by destination"));
        m_failed.insert(r.item);
        return out;
    }

    if (r.kind == Request::Kind::link)
        return answerLink(std::move(out), reply);
    if (isComplete)
        return answerCompletion(std::move(out), reply);
    return answerChunk(std::move(out), reply);
}

RequestWindow::Outcome RequestWindow::failed(Outcome out, TransferError error)
{
    out.kind = Outcome::Kind::fileFailed;
    out.failure = std::move(error);
    m_failed.insert(out.request.item);
    return out;
}

RequestWindow::Outcome RequestWindow::answerLink(Outcome out, const MessageHeader& reply)
{
    if (reply.type == MessageType::fileAck && !reply.errorCode) {
        out.kind = Outcome::Kind::fileDone;
    } else if (reply.type == MessageType::fileAck && reply.errorCode == QLatin1String(kLinkRefused)) {
        out.kind = Outcome::Kind::linkRefused;
        out.skipReason = reply.errorMessage.value_or(QString());
    } else {
        return failed(std::move(out), TransferError::invalidMessage(reply.type == MessageType::fileAck
                                                  ? reply.errorMessage.value_or(QStringLiteral("File incomplete"))
                                                  : QStringLiteral("Expected fileAck, got ") + toString(reply.type)));
    }
    return out;
}

RequestWindow::Outcome RequestWindow::answerCompletion(Outcome out, const MessageHeader& reply)
{
    if (reply.type == MessageType::fileAck && !reply.errorCode) {
        out.kind = Outcome::Kind::fileDone;
        return out;
    }
    if (reply.type == MessageType::fileAck)
        return failed(std::move(out),
                      TransferError::invalidMessage(reply.errorMessage.value_or(QStringLiteral("File incomplete"))));
    return failed(std::move(out),
                  TransferError::invalidMessage(QStringLiteral("Expected fileAck, got ") + toString(reply.type)));
}

RequestWindow::Outcome RequestWindow::answerChunk(Outcome out, const MessageHeader& reply)
{
    const Request& r = out.request;
    if (reply.type == MessageType::chunkAck) {
        out.kind = Outcome::Kind::chunkStored;
        return out;
    }
    if (reply.type == MessageType::error)
        return failed(std::move(out), TransferError::invalidMessage(reply.errorMessage.value_or(
                                          QStringLiteral("Unexpected error during chunk transfer"))));
    if (reply.type == MessageType::chunkNack && reply.errorCode == QLatin1String(kFileFailed)) {
        out.kind = Outcome::Kind::failedByDestination;
        out.skipReason = reply.errorMessage.value_or(QStringLiteral("Failed on the destination"));
        m_failed.insert(r.item);
        return out;
    }
    // A nack, or a reply of another kind: the chunk goes again, up to its last attempt.
    if (r.attempt + 1 >= kMaxChunkAttempts) {
        TransferError error = TransferError::maxRetriesExceeded(r.path, r.chunkIndex);
        return failed(std::move(out), std::move(error));
    }
    out.kind = Outcome::Kind::resend;
    out.request.attempt += 1;
    out.completeAgain = completionAfterResend(r);
    return out;
}

// A fileComplete already on its way finds the file incomplete; another follows the resend.
std::optional<RequestWindow::Request> RequestWindow::completionAfterResend(const Request& resent)
{
    const auto it = m_files.find(resent.item);
    if (it == m_files.end() || it->completesInFlight <= it->superseded)
        return std::nullopt;
    it->superseded = it->completesInFlight;
    Request again;
    again.kind = Request::Kind::fileComplete;
    again.item = resent.item;
    again.path = resent.path;
    again.totalChunks = resent.totalChunks;
    again.hash = it->wholeHash;
    return again;
}

} // namespace kivo
