#pragma once

#include "platform/UserFolders.h"
#include "transfer/ConflictPolicy.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kivo {

// One file that already exists on the destination.
struct ConflictSummary {
    QString path; // "~/" form, as the source sent it
    std::uint64_t sourceSize = 0;
    std::uint64_t destSize = 0;
    QDateTime sourceModified;
    QDateTime destModified;
    std::optional<ConflictPolicy> perFilePolicy;

    QJsonObject toJson() const;
    static ConflictSummary fromJson(const QJsonObject& o); // throws DecodingError
    bool operator==(const ConflictSummary&) const = default;
};

// The source's question before the transfer: which of these paths exist there?
struct PreFlightConflictRequest {
    QStringList pathsToCheck;
    QString requestID;

    QByteArray encoded() const;
    static PreFlightConflictRequest decode(const QByteArray& bytes); // throws DecodingError
};

struct PreFlightConflictResponse {
    QString requestID;
    QList<ConflictSummary> conflicts;

    QByteArray encoded() const;
    static PreFlightConflictResponse decode(const QByteArray& bytes); // throws DecodingError
};

// The destination's answer: every requested path that exists under `home`,
// with its size and modification time. Source figures are placeholders.
PreFlightConflictResponse answerConflictRequest(const PreFlightConflictRequest& request, const UserFolders& home,
                                                const QDateTime& now = QDateTime::currentDateTimeUtc());

} // namespace kivo
