#include "transfer/PreFlightConflict.h"

#include "platform/Json.h"

#include <QFileInfo>
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
    return json::toFileBytes(QJsonObject{{QStringLiteral("pathsToCheck"), json::toArray(pathsToCheck)},
                                         {QStringLiteral("requestID"), requestID}});
}

PreFlightConflictRequest PreFlightConflictRequest::decode(const QByteArray& bytes)
{
    const QJsonObject o = json::parseObject(bytes);
    return {json::requireStringList(o, "pathsToCheck"), json::requireString(o, "requestID")};
}

QByteArray PreFlightConflictResponse::encoded() const
{
    QJsonArray list;
    for (const ConflictSummary& c : conflicts)
        list.append(c.toJson());
    return json::toFileBytes(QJsonObject{{QStringLiteral("requestID"), requestID}, {QStringLiteral("conflicts"), list}});
}

PreFlightConflictResponse PreFlightConflictResponse::decode(const QByteArray& bytes)
{
    const QJsonObject o = json::parseObject(bytes);
    PreFlightConflictResponse r;
    r.requestID = json::requireString(o, "requestID");
    r.conflicts = json::requireRecords<ConflictSummary>(o, "conflicts");
    return r;
}

PreFlightConflictResponse answerConflictRequest(const PreFlightConflictRequest& request, const UserFolders& home,
                                                const QDateTime& now)
{
    PreFlightConflictResponse response{request.requestID, {}};
    for (const QString& path : request.pathsToCheck) {
        const QFileInfo info(home.expandTilde(path));
        if (!info.exists())
            continue;
        ConflictSummary c;
        c.path = path;
        c.destSize = info.isFile() ? static_cast<std::uint64_t>(info.size()) : 0;
        const QDateTime modified = info.lastModified();
        c.destModified = modified.isValid() ? modified.toUTC() : now;
        c.sourceModified = now;
        response.conflicts.append(c);
    }
    return response;
}

} // namespace kivo
