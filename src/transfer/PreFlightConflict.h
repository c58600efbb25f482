// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/UserFolders.h"
#include "transfer/ConflictPolicy.h"
#include "transfer/MDMSafetyChecker.h"
#include "transfer/UserMapping.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
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
    // Ours, omitted when empty: each path's category, and the source home's
    // layout and user folders as its manifest will give them, so that a
    // destination that relocates what arrives looks where it will write.
    QStringList categoryIDs;
    std::optional<QString> layout;
    QMap<QString, QString> userFolders;

    QByteArray encoded() const;
    static PreFlightConflictRequest decode(const QByteArray& bytes); // throws DecodingError
};

struct PreFlightConflictResponse {
    QString requestID;
    QList<ConflictSummary> conflicts;
    // Requested paths the destination will not look at or write (outside its
    // home, malformed, protected). Our own addition: omitted when empty, and a
    // source that does not know it still reads the rest.
    QStringList refusedPaths;

    QByteArray encoded() const;
    static PreFlightConflictResponse decode(const QByteArray& bytes); // throws DecodingError
};

// Where a "~/" path of a category lands here; empty: where the source said.
using ConflictRelocation = std::function<QString(const QString& tildePath, const QString& categoryID)>;

// The destination's answer: every requested path that the wire path check
// places beneath `home` and that exists there, with its size and modification
// time (source figures are placeholders). Every other path is refused without
// a look at the file system, and nothing is followed through a link. A path
// with a category is looked at where `relocation` puts it, and answered under
// the name the source asked with.
PreFlightConflictResponse answerConflictRequest(const PreFlightConflictRequest& request, const QString& home,
                                                const std::optional<UserMapping>& mapping,
                                                const MDMSafetyChecker& safety, const QDateTime& now,
                                                const ConflictRelocation& relocation = {});
// The same for a home without an account mapping.
PreFlightConflictResponse answerConflictRequest(const PreFlightConflictRequest& request, const UserFolders& home,
                                                const QDateTime& now = QDateTime::currentDateTimeUtc());

} // namespace kivo
