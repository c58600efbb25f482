// SPDX-License-Identifier: Apache-2.0
#include "postmigration/ReinstallList.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>

#include <algorithm>
#include <variant>

namespace kivo {

namespace {

// Three or more dot-separated parts of letters, digits and "_"; only the last may hold "-".
const QRegularExpression kFlatpakId(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*(\\.[A-Za-z_][A-Za-z0-9_]*)+\\.[A-Za-z_][A-Za-z0-9_-]*$"));
const QRegularExpression kFlatpakBranch(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9_.-]*$"));
const QRegularExpression kRemoteName(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9_.-]*$"));
// Lower-case letters, digits and single hyphens, not at either end, and at least one letter.
const QRegularExpression kSnapName(QStringLiteral("^(?=.*[a-z])[a-z0-9](-?[a-z0-9])*$"));
// Debian policy: lower case, digits, + - .; two or more, starting alphanumeric; an architecture may follow.
const QRegularExpression kDebianPackage(QStringLiteral("^[a-z0-9][a-z0-9+.-]+(:[a-z0-9-]+)?$"));

constexpr qsizetype kMaxIdLength = 255;
constexpr qsizetype kMaxUrlLength = 2048;

bool hasSpecialCharacters(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.isSpace() || QStringView(u";|&$`<>\\'\"*?(){}[]!#~").contains(c))
            return true;
    return false;
}

std::optional<QString> flatpakProblem(const ReinstallEntry& e)
{
    if (e.id.size() > kMaxIdLength || !kFlatpakId.match(e.id).hasMatch())
        return QStringLiteral("not a valid flatpak application id");
    if (e.branch.size() > 64 || !kFlatpakBranch.match(e.branch).hasMatch())
        return QStringLiteral("not a valid flatpak branch");
    if (e.installation != QLatin1String("user") && e.installation != QLatin1String("system"))
        return QStringLiteral("the installation is neither user nor system");
    if (e.remote.size() > 64 || !kRemoteName.match(e.remote).hasMatch())
        return QStringLiteral("not a valid flatpak remote name");
    const QUrl url(e.remoteUrl, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (e.remoteUrl.size() > kMaxUrlLength || !url.isValid() || (scheme != QLatin1String("https") && scheme != QLatin1String("file")))
        return QStringLiteral("the remote's URL is not https or file");
    if (scheme == QLatin1String("https") && url.host().isEmpty())
        return QStringLiteral("the remote's URL has no host");
    if (e.remoteKey.size() > kMaxRemoteKeyBytes)
        return QStringLiteral("the remote's key is too large");
    return std::nullopt;
}

QJsonObject entryJson(const ReinstallEntry& e)
{
    QJsonObject o{{QStringLiteral("kind"), toString(e.kind)}, {QStringLiteral("id"), e.id}};
    switch (e.kind) {
    case ReinstallEntry::Kind::flatpak:
        o.insert(QStringLiteral("branch"), e.branch);
        o.insert(QStringLiteral("installation"), e.installation);
        o.insert(QStringLiteral("remote"), e.remote);
        o.insert(QStringLiteral("url"), e.remoteUrl);
        if (!e.remoteKey.isEmpty())
            o.insert(QStringLiteral("gpgKey"), QString::fromLatin1(e.remoteKey.toBase64()));
        break;
    case ReinstallEntry::Kind::snap:
        if (e.classic)
            o.insert(QStringLiteral("classic"), true);
        break;
    case ReinstallEntry::Kind::apt: break;
    }
    return o;
}

// An entry as a peer wrote it; a field of the wrong type reads as a problem, not as empty.
std::variant<ReinstallEntry, QString> readEntry(const QJsonObject& o)
{
    const auto text = [&o](const char* key, bool required) -> std::optional<QString> {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined() && !required)
            return QString();
        if (!v.isString())
            return std::nullopt;
        return v.toString();
    };
    const std::optional<ReinstallEntry::Kind> kind = reinstallKindFromString(o.value(QLatin1String("kind")).toString());
    if (!kind)
        return QStringLiteral("unknown kind of package");
    const bool flatpak = *kind == ReinstallEntry::Kind::flatpak;
    ReinstallEntry e;
    e.kind = *kind;
    const auto id = text("id", true), branch = text("branch", flatpak), installation = text("installation", flatpak),
               remote = text("remote", flatpak), url = text("url", flatpak), key = text("gpgKey", false);
    if (!id || !branch || !installation || !remote || !url || !key)
        return QStringLiteral("a field is missing or not text");
    e.id = *id;
    e.branch = *branch;
    e.installation = *installation;
    e.remote = *remote;
    e.remoteUrl = *url;
    if (!key->isEmpty()) {
        if (key->size() > kMaxRemoteKeyBytes * 2)
            return QStringLiteral("the remote's key is too large");
        const auto decoded = QByteArray::fromBase64Encoding(key->toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return QStringLiteral("the remote's key is not base64");
        e.remoteKey = *decoded;
    }
    const QJsonValue classic = o.value(QLatin1String("classic"));
    if (!classic.isUndefined() && !classic.isBool())
        return QStringLiteral("a field is missing or not text");
    e.classic = classic.toBool();
    return e;
}

} // namespace

QString toString(ReinstallEntry::Kind kind)
{
    switch (kind) {
    case ReinstallEntry::Kind::flatpak: return QStringLiteral("flatpak");
    case ReinstallEntry::Kind::snap: return QStringLiteral("snap");
    case ReinstallEntry::Kind::apt: return QStringLiteral("apt");
    }
    return {};
}

std::optional<ReinstallEntry::Kind> reinstallKindFromString(const QString& text)
{
    for (auto k : {ReinstallEntry::Kind::flatpak, ReinstallEntry::Kind::snap, ReinstallEntry::Kind::apt})
        if (toString(k) == text)
            return k;
    return std::nullopt;
}

QString ReinstallEntry::qualifiedId() const { return toString(kind) + u':' + id; }

std::optional<QString> reinstallEntryProblem(const ReinstallEntry& e)
{
    for (const QString* field : {&e.id, &e.branch, &e.installation, &e.remote, &e.remoteUrl})
        if (hasSpecialCharacters(*field))
            return QStringLiteral("contains characters a shell would read specially");
    if (e.id.startsWith(u'-'))
        return QStringLiteral("an id may not start with -");
    switch (e.kind) {
    case ReinstallEntry::Kind::flatpak: return flatpakProblem(e);
    case ReinstallEntry::Kind::snap:
        if (e.id.size() > 40 || !kSnapName.match(e.id).hasMatch())
            return QStringLiteral("not a valid snap name");
        return std::nullopt;
    case ReinstallEntry::Kind::apt:
        if (e.id.size() > kMaxIdLength || !kDebianPackage.match(e.id).hasMatch())
            return QStringLiteral("not a valid Debian package name");
        return std::nullopt;
    }
    return std::nullopt;
}

QByteArray ReinstallList::toJson() const
{
    QJsonArray apps, refusedOnes;
    for (const ReinstallEntry& e : entries)
        apps.append(entryJson(e));
    for (const RefusedEntry& r : refused)
        refusedOnes.append(QJsonObject{{QStringLiteral("kind"), r.kind}, {QStringLiteral("id"), r.id}, {QStringLiteral("reason"), r.reason}});
    QJsonObject root{{QStringLiteral("format"), 1}, {QStringLiteral("apps"), apps}};
    if (!refused.isEmpty())
        root.insert(QStringLiteral("refused"), refusedOnes);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

std::optional<ReinstallList> ReinstallList::fromJson(const QByteArray& json)
{
    if (json.size() > kMaxReinstallListBytes)
        return std::nullopt;
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    if (!doc.isObject() || !doc.object().value(QLatin1String("apps")).isArray())
        return std::nullopt;
    ReinstallList list;
    QSet<QString> kept; // qualified ids: a repeat is kept once
    for (const QJsonValue& v : doc.object().value(QLatin1String("apps")).toArray()) {
        const QJsonObject o = v.toObject();
        const QString kind = o.value(QLatin1String("kind")).toString().left(16);
        const QString id = o.value(QLatin1String("id")).toString().left(kMaxIdLength);
        std::variant<ReinstallEntry, QString> read = v.isObject() ? readEntry(o) : QStringLiteral("not an object");
        if (auto* reason = std::get_if<QString>(&read)) {
            list.refused.append({kind, id, *reason});
            continue;
        }
        const ReinstallEntry& e = std::get<ReinstallEntry>(read);
        if (const std::optional<QString> problem = reinstallEntryProblem(e)) {
            list.refused.append({kind, id, *problem});
            continue;
        }
        if (const QString qualified = e.qualifiedId(); !kept.contains(qualified)) {
            kept.insert(qualified);
            list.entries.append(e);
        }
    }
    // What an earlier reader refused stays on record.
    for (const QJsonValue& v : doc.object().value(QLatin1String("refused")).toArray()) {
        const QJsonObject o = v.toObject();
        list.refused.append({o.value(QLatin1String("kind")).toString().left(16), o.value(QLatin1String("id")).toString().left(kMaxIdLength),
                             o.value(QLatin1String("reason")).toString().left(200)});
    }
    return list;
}

QString reinstallListPath(const QString& home) { return home + QStringLiteral("/.local/share/kivo/reinstall.json"); }

QList<FlatpakApp> parseFlatpakList(const QString& output)
{
    QList<FlatpakApp> out;
    for (const QString& line : output.split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList f = line.split(u'\t');
        if (f.size() >= 4 && !f.at(0).trimmed().isEmpty())
            out.append({f.at(0).trimmed(), f.at(1).trimmed(), f.at(2).trimmed(), f.at(3).trimmed()});
    }
    return out;
}

QList<std::pair<QString, QString>> parseFlatpakRemotes(const QString& output)
{
    QList<std::pair<QString, QString>> out;
    for (const QString& line : output.split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList f = line.split(u'\t');
        if (f.size() < 2 || f.at(0).trimmed().isEmpty())
            continue;
        const QString name = f.at(0).trimmed();
        if (std::none_of(out.cbegin(), out.cend(), [&](const auto& r) { return r.first == name; }))
            out.append({name, f.at(1).trimmed()});
    }
    return out;
}

QList<SnapApp> parseSnapList(const QString& output)
{
    static const QRegularExpression spaces(QStringLiteral("\\s+"));
    // Notes that mark what snapd installs for itself, not what the user chose.
    static const QStringList kNotApplications = {QStringLiteral("base"), QStringLiteral("core"), QStringLiteral("snapd"),
                                                 QStringLiteral("gadget"), QStringLiteral("kernel")};
    QList<SnapApp> out;
    const QStringList lines = output.split(u'\n', Qt::SkipEmptyParts);
    for (qsizetype i = 1; i < lines.size(); ++i) { // the first line is the header
        const QStringList f = lines.at(i).trimmed().split(spaces);
        if (f.size() < 2)
            continue;
        const QStringList notes = f.size() >= 6 ? f.at(5).split(u',') : QStringList();
        if (std::any_of(notes.cbegin(), notes.cend(), [](const QString& n) { return kNotApplications.contains(n); }))
            continue;
        out.append({f.at(0), notes.contains(QStringLiteral("classic"))});
    }
    return out;
}

QStringList parseNameLines(const QString& output)
{
    QStringList out;
    QSet<QString> seen;
    for (const QString& line : output.split(u'\n', Qt::SkipEmptyParts))
        if (const QString name = line.trimmed(); !name.isEmpty() && !seen.contains(name)) {
            seen.insert(name);
            out << name;
        }
    return out;
}

bool sameRemoteUrl(const QString& a, const QString& b)
{
    const auto trimmed = [](QString s) {
        while (s.endsWith(u'/'))
            s.chop(1);
        return s;
    };
    return trimmed(a) == trimmed(b);
}

} // namespace kivo
