// SPDX-License-Identifier: Apache-2.0
#include "transfer/PreFlightConflict.h"

#include "platform/HomeStatus.h"
#include "platform/Json.h"
#include "transfer/UserFoldersField.h"
#include "transfer/WirePath.h"

#include <QJsonArray>

namespace kivo {

QJsonObject ConflictSummary::toJson() const
{
    QJsonObject o{{QStringLiteral("path"), path},
                  {QStringLiteral("sourceSize"), static_cast<double>(sourceSize)},
                  {QStringLiteral("destSize"), static_cast<double>(destSize)},
                  {QStringLiteral("sourceModified"), json::formatDate(sourceModified)},
                  {QStringLiteral("destModified"), json::formatDate(destModified)}};
    if (perFilePolicy)
        o.insert(QStringLiteral("perFilePolicy"), toString(*perFilePolicy));
    return o;
}

ConflictSummary ConflictSummary::fromJson(const QJsonObject& o)
{
    ConflictSummary c;
    c.path = json::requireString(o, "path");
    c.sourceSize = json::requireUInt64(o, "sourceSize");
    c.destSize = json::requireUInt64(o, "destSize");
    c.sourceModified = json::requireDate(o, "sourceModified");
    c.destModified = json::requireDate(o, "destModified");
    if (auto policy = json::optionalString(o, "perFilePolicy")) {
        c.perFilePolicy = conflictPolicyFromString(*policy);
        if (!c.perFilePolicy)
            throw DecodingError(QStringLiteral("Invalid JSON: unknown conflict policy \"%1\"").arg(*policy));
    }
    return c;
}

QByteArray PreFlightConflictRequest::encoded() const
{
    QJsonObject o{{QStringLiteral("pathsToCheck"), json::toArray(pathsToCheck)},
                  {QStringLiteral("requestID"), requestID}};
    if (!categoryIDs.isEmpty())
        o.insert(QStringLiteral("categoryIDs"), json::toArray(categoryIDs));
    if (layout)
        o.insert(QStringLiteral("layout"), *layout);
    insertUserFolders(o, userFolders);
    return json::toFileBytes(o);
}

PreFlightConflictRequest PreFlightConflictRequest::decode(const QByteArray& bytes)
{
    const QJsonObject o = json::parseObject(bytes);
    PreFlightConflictRequest r;
    r.pathsToCheck = json::requireStringList(o, "pathsToCheck");
    r.requestID = json::requireString(o, "requestID");
    if (o.contains(QLatin1String("categoryIDs"))) {
        r.categoryIDs = json::requireStringList(o, "categoryIDs");
        if (r.categoryIDs.size() != r.pathsToCheck.size())
            throw DecodingError(QStringLiteral("Invalid JSON: categoryIDs does not match pathsToCheck"));
    }
    r.layout = json::optionalString(o, "layout");
    r.userFolders = userFoldersOf(o);
    return r;
}

QByteArray PreFlightConflictResponse::encoded() const
{
    QJsonArray list;
    for (const ConflictSummary& c : conflicts)
        list.append(c.toJson());
    QJsonObject o{{QStringLiteral("requestID"), requestID}, {QStringLiteral("conflicts"), list}};
    if (!refusedPaths.isEmpty())
        o.insert(QStringLiteral("refusedPaths"), json::toArray(refusedPaths));
    return json::toFileBytes(o);
}

PreFlightConflictResponse PreFlightConflictResponse::decode(const QByteArray& bytes)
{
    const QJsonObject o = json::parseObject(bytes);
    PreFlightConflictResponse r;
    r.requestID = json::requireString(o, "requestID");
    r.conflicts = json::requireRecords<ConflictSummary>(o, "conflicts");
    if (o.contains(QLatin1String("refusedPaths")))
        r.refusedPaths = json::requireStringList(o, "refusedPaths");
    return r;
}

PreFlightConflictResponse answerConflictRequest(const PreFlightConflictRequest& request, const QString& home,
                                                const std::optional<UserMapping>& mapping,
                                                const MDMSafetyChecker& safety, const QDateTime& now,
                                                const ConflictRelocation& relocation)
{
    PreFlightConflictResponse response{request.requestID, {}, {}};
    const HomeStatus files(home);
    const bool relocate = relocation && request.categoryIDs.size() == request.pathsToCheck.size();
    for (qsizetype i = 0; i < request.pathsToCheck.size(); ++i) {
        const QString& path = request.pathsToCheck[i];
        // The relocated path is checked like any other: a relocation never widens what may be looked at.
        const WirePathCheck check =
            checkWirePath(relocate ? relocation(path, request.categoryIDs[i]) : path, home, mapping, safety);
        if (check.refusal) {
            response.refusedPaths.append(path);
            continue;
        }
        const std::optional<fs::FileStatus> status = files.status(check.destination);
        if (!status)
            continue;
        ConflictSummary c;
        c.path = path;
        c.destSize = status->isRegular() ? status->size : 0;
        c.destModified = QDateTime::fromSecsSinceEpoch(status->modifiedSecs, Qt::UTC);
        c.sourceModified = now;
        response.conflicts.append(c);
    }
    return response;
}

PreFlightConflictResponse answerConflictRequest(const PreFlightConflictRequest& request, const UserFolders& home,
                                                const QDateTime& now)
{
    return answerConflictRequest(request, home.home(), std::nullopt, MDMSafetyChecker(), now);
}

} // namespace kivo
