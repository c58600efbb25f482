// SPDX-License-Identifier: Apache-2.0
#include "vault/ResticOutput.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>

namespace kivo {

QString toString(VaultErrorKind kind)
{
    switch (kind) {
    case VaultErrorKind::failed: return QStringLiteral("failed");
    case VaultErrorKind::damaged: return QStringLiteral("damaged");
    case VaultErrorKind::full: return QStringLiteral("full");
    case VaultErrorKind::snapshotGone: return QStringLiteral("snapshotGone");
    case VaultErrorKind::changedSince: return QStringLiteral("changedSince");
    case VaultErrorKind::unknownSnapshot: return QStringLiteral("unknownSnapshot");
    case VaultErrorKind::noVault: return QStringLiteral("noVault");
    case VaultErrorKind::wrongPassword: return QStringLiteral("wrongPassword");
    case VaultErrorKind::missingKey: return QStringLiteral("missingKey");
    case VaultErrorKind::noEngine: return QStringLiteral("noEngine");
    case VaultErrorKind::unreachable: return QStringLiteral("unreachable");
    case VaultErrorKind::locked: return QStringLiteral("locked");
    }
    return QStringLiteral("failed");
}

namespace restic {

std::optional<Version> parseVersion(const QByteArray& output)
{
    static const QRegularExpression re(QStringLiteral("^restic (\\d+)\\.(\\d+)\\.(\\d+)"));
    const auto m = re.match(QString::fromUtf8(output.trimmed()));
    if (!m.hasMatch())
        return std::nullopt;
    return Version{m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt()};
}

namespace {

std::uint64_t count(const QJsonValue& v) { return v.isDouble() && v.toDouble() > 0 ? std::uint64_t(v.toDouble()) : 0; }

// The engine writes nanoseconds; Qt reads at most milliseconds.
QDateTime parseTime(const QString& text)
{
    static const QRegularExpression fraction(QStringLiteral("(\\.\\d{3})\\d+"));
    QString trimmed = text;
    trimmed.replace(fraction, QStringLiteral("\\1"));
    return QDateTime::fromString(trimmed, Qt::ISODateWithMs);
}

} // namespace

BackupLine parseBackupLine(const QByteArray& line)
{
    BackupLine out;
    const QJsonDocument doc = QJsonDocument::fromJson(line);
    if (!doc.isObject())
        return out;
    const QJsonObject o = doc.object();
    const QString type = o.value(QStringLiteral("message_type")).toString();
    if (type == QLatin1String("status")) {
        out.type = BackupLine::Type::status;
        out.files = count(o.value(QStringLiteral("files_done")));
        out.totalFiles = count(o.value(QStringLiteral("total_files")));
        out.bytes = count(o.value(QStringLiteral("bytes_done")));
        out.totalBytes = count(o.value(QStringLiteral("total_bytes")));
        if (o.value(QStringLiteral("seconds_remaining")).isDouble())
            out.secondsRemaining = o.value(QStringLiteral("seconds_remaining")).toDouble();
        const QJsonArray current = o.value(QStringLiteral("current_files")).toArray();
        if (!current.isEmpty())
            out.currentFile = current.first().toString();
    } else if (type == QLatin1String("summary")) {
        out.type = BackupLine::Type::summary;
        out.files = out.totalFiles = count(o.value(QStringLiteral("total_files_processed")));
        out.bytes = out.totalBytes = count(o.value(QStringLiteral("total_bytes_processed")));
        out.dataAdded = count(o.value(QStringLiteral("data_added")));
        out.snapshotID = o.value(QStringLiteral("snapshot_id")).toString();
    }
    return out;
}

QList<Snapshot> parseSnapshots(const QByteArray& json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    if (!doc.isArray())
        throw VaultError(VaultErrorKind::failed, QStringLiteral("the vault's snapshot list is unreadable"));
    QList<Snapshot> out;
    for (const QJsonValue& v : doc.array()) {
        const QJsonObject o = v.toObject();
        Snapshot s;
        s.id = o.value(QStringLiteral("id")).toString();
        static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{8,64}$"));
        if (!hex.match(s.id).hasMatch())
            continue;
        s.time = parseTime(o.value(QStringLiteral("time")).toString());
        s.hostname = o.value(QStringLiteral("hostname")).toString();
        s.username = o.value(QStringLiteral("username")).toString();
        for (const QJsonValue& p : o.value(QStringLiteral("paths")).toArray())
            s.paths << p.toString();
        for (const QJsonValue& t : o.value(QStringLiteral("tags")).toArray())
            s.tags << t.toString();
        out << s;
    }
    return out;
}

QString tag(const QString& key, const QString& value)
{
    return key + u'=' + QString::fromLatin1(QUrl::toPercentEncoding(value, "/:@+~"));
}

QMap<QString, QString> tagValues(const QStringList& tags)
{
    QMap<QString, QString> out;
    for (const QString& t : tags) {
        const qsizetype eq = t.indexOf(u'=');
        if (eq > 0)
            out.insert(t.left(eq), QUrl::fromPercentEncoding(t.mid(eq + 1).toLatin1()));
    }
    return out;
}

VaultErrorKind classifyError(const QByteArray& standardError)
{
    const QString text = QString::fromUtf8(standardError).toLower();
    // Order matters: an unreachable store also asks whether a repository is there.
    const std::pair<const char*, VaultErrorKind> rules[] = {
        {"wrong password or no key found", VaultErrorKind::wrongPassword},
        {"no space left on device", VaultErrorKind::full},
        {"quotaexceeded", VaultErrorKind::full},
        {"invalidaccesskeyid", VaultErrorKind::missingKey},
        {"the aws access key id you provided does not exist", VaultErrorKind::missingKey},
        {"signaturedoesnotmatch", VaultErrorKind::missingKey},
        {"the request signature we calculated does not match", VaultErrorKind::missingKey},
        {"access denied", VaultErrorKind::missingKey},
        {"repository is already locked", VaultErrorKind::locked},
        {"connection refused", VaultErrorKind::unreachable},
        {"no such host", VaultErrorKind::unreachable},
        {"i/o timeout", VaultErrorKind::unreachable},
        {"network is unreachable", VaultErrorKind::unreachable},
        {"is there a repository at the following location?", VaultErrorKind::noVault},
        {"no matching id found", VaultErrorKind::unknownSnapshot},
        {"repository contains errors", VaultErrorKind::damaged},
        {"check failed", VaultErrorKind::damaged},
    };
    for (const auto& [needle, kind] : rules)
        if (text.contains(QLatin1String(needle)))
            return kind;
    return VaultErrorKind::failed;
}

bool isHopeless(const QByteArray& standardError)
{
    return standardError.contains("QuotaExceeded");
}

QString errorReason(const QByteArray& standardError)
{
    const QStringList lines = QString::fromUtf8(standardError).split(u'\n', Qt::SkipEmptyParts);
    for (const QString& line : lines)
        if (line.startsWith(QLatin1String("Fatal: ")))
            return line.mid(7).trimmed();
    for (const QString& line : lines)
        if (line.contains(QLatin1String("already locked")) || line.contains(QLatin1String("no space left")))
            return line.trimmed();
    return lines.isEmpty() ? QString() : lines.first().trimmed();
}

QString describeError(const QByteArray& standardError)
{
    const QString reason = errorReason(standardError);
    const QString text = QString::fromUtf8(standardError);
    switch (classifyError(standardError)) {
    case VaultErrorKind::unreachable: {
        static const QRegularExpression dial(QStringLiteral("dial tcp ([^ :]+|\\[[^]]+\\]):(\\d+)"));
        static const QRegularExpression cause(
            QStringLiteral("(connection refused|no such host|i/o timeout|network is unreachable)"));
        const auto where = dial.match(text);
        const auto why = cause.match(text.toLower());
        return QStringLiteral("the vault's object store%1 cannot be reached (%2): is it running, and is the address right?")
            .arg(where.hasMatch() ? QStringLiteral(" at %1:%2").arg(where.captured(1), where.captured(2)) : QString(),
                 why.hasMatch() ? why.captured(1) : reason);
    }
    case VaultErrorKind::full:
        if (text.contains(QLatin1String("QuotaExceeded"), Qt::CaseInsensitive))
            return QStringLiteral("the vault's bucket is over its storage quota (QuotaExceeded): this snapshot was not "
                                  "kept and what the vault held is intact; raise the quota or forget old snapshots with "
                                  "--prune, then try again");
        return reason;
    case VaultErrorKind::missingKey: {
        static const QRegularExpression code(QStringLiteral("(InvalidAccessKeyId|SignatureDoesNotMatch|AccessDenied|Access Denied)"));
        const auto m = code.match(text);
        return QStringLiteral("the object store refused the vault's keys%1: check kivo.awsAccessKeyID and "
                              "kivo.awsSecretAccessKey, or AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY")
            .arg(m.hasMatch() ? QStringLiteral(" (%1)").arg(m.captured(1)) : QString());
    }
    default: return reason;
    }
}

} // namespace restic
} // namespace kivo
