// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace kivo {

// One application the source had from a package tool, to be installed again here.
struct ReinstallEntry {
    enum class Kind { flatpak, snap, apt };
    Kind kind = Kind::apt;
    QString id;           // flatpak application id, snap name or Debian package name
    QString branch;       // flatpak: "stable", "1"...
    QString installation; // flatpak: "user" or "system"
    QString remote;       // flatpak: the origin remote's name on the source
    QString remoteUrl;    // flatpak: that remote's URL
    QByteArray remoteKey; // flatpak: the remote's GPG public key, when the source had it
    bool classic = false; // snap: installed with classic confinement

    // "flatpak:org.gimp.GIMP", how a user can name one entry when several kinds share an id.
    QString qualifiedId() const;
    bool operator==(const ReinstallEntry&) const = default;
};

QString toString(ReinstallEntry::Kind kind);
std::optional<ReinstallEntry::Kind> reinstallKindFromString(const QString& text);

// An entry turned away, with the reason a user reads.
struct RefusedEntry {
    QString kind;
    QString id;
    QString reason;
    bool operator==(const RefusedEntry&) const = default;
};

// Why an entry cannot be installed as it stands; nothing when it can.
// Every field is checked: ids against their tool's naming rules, remote URLs
// for https or file, the key for size, and no field may carry characters a shell
// or a command line would read specially.
std::optional<QString> reinstallEntryProblem(const ReinstallEntry& entry);

// The list a source sends and a destination keeps: what can be installed, and what was refused.
struct ReinstallList {
    QList<ReinstallEntry> entries;
    QList<RefusedEntry> refused;

    bool isEmpty() const { return entries.isEmpty(); }
    QByteArray toJson() const;
    // Reads a list from a peer or a file: each entry is checked alone, a bad one
    // joins `refused` and the rest are kept. Nothing when the document itself is unreadable.
    static std::optional<ReinstallList> fromJson(const QByteArray& json);
};

// The largest list file read (a list of thousands of packages is a few hundred KiB).
inline constexpr qint64 kMaxReinstallListBytes = 8 * 1024 * 1024;
// The largest remote key kept; real keys are a few KiB.
inline constexpr qsizetype kMaxRemoteKeyBytes = 64 * 1024;

// Where the list lives in a home.
QString reinstallListPath(const QString& home);

// Tool output, as each tool prints it.
struct FlatpakApp {
    QString id, branch, installation, origin;
};
// `flatpak list --app --columns=application,branch,installation,origin`
QList<FlatpakApp> parseFlatpakList(const QString& output);
// `flatpak remotes --columns=name,url`: name -> URL, first of a name wins.
QList<std::pair<QString, QString>> parseFlatpakRemotes(const QString& output);
struct SnapApp {
    QString name;
    bool classic = false;
};
// `snap list`: the applications, without bases, the snapd snap or the like.
QList<SnapApp> parseSnapList(const QString& output);
// `apt-mark showmanual` and similar one-name-a-line output.
QStringList parseNameLines(const QString& output);

// Two remote URLs name the same repository: a trailing slash makes no difference.
bool sameRemoteUrl(const QString& a, const QString& b);

} // namespace kivo
