// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"

#include <QStringList>
#include <cstdint>

namespace kivo {

// The errors of the transfer subsystem; description() is the text the user sees.
class TransferError : public Error {
public:
    enum class Kind {
        checksumMismatch,
        maxRetriesExceeded,
        insufficientDiskSpace,
        permissionDenied,
        categoryFailed,
        fileSkipped,
        invalidMessage,
        verificationFailed,
        encodingError,
        connectionCancelled,
        connectionLost,
        noDataReceived,
        transferInterrupted,
    };

    static TransferError checksumMismatch(QString file, std::uint32_t chunkIndex);
    static TransferError maxRetriesExceeded(QString file, std::uint32_t chunkIndex);
    static TransferError insufficientDiskSpace(std::uint64_t needed, std::uint64_t available);
    static TransferError permissionDenied(QString path);
    static TransferError categoryFailed(QString categoryID, QString reason);
    static TransferError fileSkipped(QString path, QString reason);
    static TransferError invalidMessage(QString message);
    static TransferError verificationFailed(QStringList mismatches);
    static TransferError encodingError(QString message);
    static TransferError connectionCancelled() { return TransferError(Kind::connectionCancelled); }
    static TransferError connectionLost() { return TransferError(Kind::connectionLost); }
    static TransferError noDataReceived() { return TransferError(Kind::noDataReceived); }
    static TransferError transferInterrupted() { return TransferError(Kind::transferInterrupted); }

    Kind kind() const { return m_kind; }
    // The path, file, category id or message the error carries (its first text payload).
    const QString& subject() const { return m_text; }
    const QString& reason() const { return m_reason; }
    std::uint32_t chunkIndex() const { return m_chunkIndex; }
    std::uint64_t needed() const { return m_needed; }
    std::uint64_t available() const { return m_available; }
    const QStringList& mismatches() const { return m_list; }

    QString description() const override;
    bool operator==(const TransferError& other) const;

private:
    explicit TransferError(Kind kind) : m_kind(kind) {}

    Kind m_kind;
    QString m_text;
    QString m_reason;
    std::uint32_t m_chunkIndex = 0;
    std::uint64_t m_needed = 0;
    std::uint64_t m_available = 0;
    QStringList m_list;
};

} // namespace kivo
