// SPDX-License-Identifier: Apache-2.0
#include "transfer/TransferError.h"

#include "platform/ByteCount.h"

namespace kivo {

TransferError TransferError::checksumMismatch(QString file, std::uint32_t chunkIndex)
{
    TransferError e(Kind::checksumMismatch);
    e.m_text = std::move(file);
    e.m_chunkIndex = chunkIndex;
    return e;
}

TransferError TransferError::maxRetriesExceeded(QString file, std::uint32_t chunkIndex)
{
    TransferError e(Kind::maxRetriesExceeded);
    e.m_text = std::move(file);
    e.m_chunkIndex = chunkIndex;
    return e;
}

TransferError TransferError::insufficientDiskSpace(std::uint64_t needed, std::uint64_t available)
{
    TransferError e(Kind::insufficientDiskSpace);
    e.m_needed = needed;
    e.m_available = available;
    return e;
}

TransferError TransferError::permissionDenied(QString path)
{
    TransferError e(Kind::permissionDenied);
    e.m_text = std::move(path);
    return e;
}

TransferError TransferError::categoryFailed(QString categoryID, QString reason)
{
    TransferError e(Kind::categoryFailed);
    e.m_text = std::move(categoryID);
    e.m_reason = std::move(reason);
    return e;
}

TransferError TransferError::fileSkipped(QString path, QString reason)
{
    TransferError e(Kind::fileSkipped);
    e.m_text = std::move(path);
    e.m_reason = std::move(reason);
    return e;
}

TransferError TransferError::invalidMessage(QString message)
{
    TransferError e(Kind::invalidMessage);
    e.m_text = std::move(message);
    return e;
}

TransferError TransferError::verificationFailed(QStringList mismatches)
{
    TransferError e(Kind::verificationFailed);
    e.m_list = std::move(mismatches);
    return e;
}

TransferError TransferError::encodingError(QString message)
{
    TransferError e(Kind::encodingError);
    e.m_text = std::move(message);
    return e;
}

QString TransferError::description() const
{
    switch (m_kind) {
    case Kind::checksumMismatch:
        return QStringLiteral("Data integrity check failed for %1 chunk %2").arg(m_text).arg(m_chunkIndex);
    case Kind::maxRetriesExceeded:
        return QStringLiteral("Failed to transfer %1 chunk %2 after maximum retries").arg(m_text).arg(m_chunkIndex);
    case Kind::insufficientDiskSpace:
        return QStringLiteral("Not enough disk space. Need %1, only %2 available")
            .arg(formatFileSize(m_needed), formatFileSize(m_available));
    case Kind::permissionDenied:
        return QStringLiteral("Permission denied reading ") + m_text;
    case Kind::categoryFailed:
        return QStringLiteral("Category %1 failed: %2").arg(m_text, m_reason);
    case Kind::fileSkipped:
        return QStringLiteral("%1 skipped: %2").arg(m_text, m_reason);
    case Kind::invalidMessage:
        return QStringLiteral("Invalid protocol message: ") + m_text;
    case Kind::verificationFailed:
        return QStringLiteral("%1 file(s) failed verification").arg(m_list.size());
    case Kind::encodingError:
        return QStringLiteral("Encoding error: ") + m_text;
    case Kind::connectionCancelled:
        return QStringLiteral("Connection was cancelled");
    case Kind::connectionLost:
        return QStringLiteral("Connection to the other Mac was lost");
    case Kind::noDataReceived:
        return QStringLiteral("No data received from peer");
    case Kind::transferInterrupted:
        return QStringLiteral("Transfer was interrupted");
    }
    return {};
}

bool TransferError::operator==(const TransferError& o) const
{
    return m_kind == o.m_kind && m_text == o.m_text && m_reason == o.m_reason && m_chunkIndex == o.m_chunkIndex
        && m_needed == o.m_needed && m_available == o.m_available && m_list == o.m_list;
}

} // namespace kivo
