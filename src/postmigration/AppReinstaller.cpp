// SPDX-License-Identifier: Apache-2.0
#include "postmigration/AppReinstaller.h"

#include "platform/Error.h"
#include "platform/FileReplacement.h"

namespace kivo {

namespace {

// A Debian name as dpkg lists it: "libfoo:i386" is installed as "libfoo" for that architecture.
QString debianName(const QString& id) { return id.section(u':', 0, 0); }

AppInstallEvent event(const ReinstallEntry& e, AppInstallState state, QString reason = {})
{
    const bool ended = state != AppInstallState::queued && state != AppInstallState::installing;
    return {e, state, ended ? 100 : 0, std::move(reason)};
}

QString failure(const QString& tool, const CommandResult& r)
{
    if (!r.started)
        return tool + QStringLiteral(" could not be started");
    if (r.timedOut)
        return tool + QStringLiteral(" took too long and was stopped");
    const QString said = lastLine(r.standardOutput);
    return said.isEmpty() ? QStringLiteral("%1 failed (exit %2)").arg(tool).arg(r.exitCode) : said;
}

} // namespace

ReinstallList gatherReinstallList(const PackageTools& tools)
{
    QList<ReinstallEntry> found;
    const QList<std::pair<QString, QString>> remotes = parseFlatpakRemotes(tools.flatpakRemotes().value_or(QString()));
    for (const FlatpakApp& app : parseFlatpakList(tools.flatpakApps().value_or(QString()))) {
        ReinstallEntry e{ReinstallEntry::Kind::flatpak, app.id, app.branch, app.installation, app.origin, {}, {}, false};
        for (const auto& [name, url] : remotes)
            if (name == app.origin) {
                e.remoteUrl = url;
                break;
            }
        e.remoteKey = tools.flatpakRemoteKey(app.installation, app.origin);
        found << e;
    }
    for (const SnapApp& snap : parseSnapList(tools.snapList().value_or(QString())))
        found << ReinstallEntry{ReinstallEntry::Kind::snap, snap.name, {}, {}, {}, {}, {}, snap.classic};
    for (const QString& package : parseNameLines(tools.aptManual().value_or(QString())))
        found << ReinstallEntry{ReinstallEntry::Kind::apt, package, {}, {}, {}, {}, {}, false};

    ReinstallList list;
    for (const ReinstallEntry& e : found) {
        if (const std::optional<QString> problem = reinstallEntryProblem(e))
            list.refused.append({toString(e.kind), e.id, *problem});
        else
            list.entries.append(e);
    }
    return list;
}

bool isReinstallListPath(const QString& path) { return path.endsWith(QLatin1String("/.local/share/kivo/reinstall.json")); }

bool checkReceivedReinstallList(const QString& home, const QString& path)
{
    try {
        FileReplacement file(home, path);
        if (file.size() > std::uint64_t(kMaxReinstallListBytes))
            return false;
        QByteArray bytes(qsizetype(file.size()), Qt::Uninitialized);
        qsizetype at = 0;
        while (at < bytes.size())
            if (const std::int64_t n = file.read(bytes.data() + at, bytes.size() - at); n > 0)
                at += qsizetype(n);
            else
                break;
        bytes.truncate(at);
        const std::optional<ReinstallList> list = ReinstallList::fromJson(bytes);
        if (!list)
            return false;
        file.write(list->toJson());
        file.commit();
        return true;
    } catch (const SystemError&) {
        return false;
    }
}

bool InstalledPackages::contains(const ReinstallEntry& e) const
{
    switch (e.kind) {
    case ReinstallEntry::Kind::flatpak: return flatpaks.contains(e.id);
    case ReinstallEntry::Kind::snap: return snaps.contains(e.id);
    case ReinstallEntry::Kind::apt: return debs.contains(debianName(e.id));
    }
    return false;
}

InstalledPackages InstalledPackages::read(const PackageTools& tools)
{
    InstalledPackages p;
    for (const FlatpakApp& app : parseFlatpakList(tools.flatpakApps().value_or(QString())))
        p.flatpaks.insert(app.id);
    for (const SnapApp& snap : parseSnapList(tools.snapList().value_or(QString())))
        p.snaps.insert(snap.name);
    for (const QString& name : parseNameLines(tools.installedDebianPackages().value_or(QString())))
        p.debs.insert(debianName(name));
    return p;
}

std::variant<QList<ReinstallEntry>, QString> selectEntries(const QList<ReinstallEntry>& entries, const QStringList& ids)
{
    if (ids.isEmpty())
        return entries;
    QSet<QString> known;
    for (const ReinstallEntry& e : entries)
        known << e.id << e.qualifiedId();
    QSet<QString> wanted;
    for (const QString& id : ids) {
        if (!known.contains(id))
            return id;
        wanted.insert(id);
    }
    QList<ReinstallEntry> out;
    for (const ReinstallEntry& e : entries)
        if (wanted.contains(e.id) || wanted.contains(e.qualifiedId()))
            out << e;
    return out;
}

RemoteChoice chooseRemote(const ReinstallEntry& entry, const QList<std::pair<QString, QString>>& configured)
{
    for (const auto& [name, url] : configured)
        if (sameRemoteUrl(url, entry.remoteUrl))
            return {RemoteChoice::Action::reuse, name, {}};
    for (const auto& [name, url] : configured)
        if (name == entry.remote)
            return {RemoteChoice::Action::refuse, {},
                    QStringLiteral("the remote %1 here points to %2, not %3").arg(name, url, entry.remoteUrl)};
    if (entry.remoteKey.isEmpty())
        return {RemoteChoice::Action::refuse, {},
                QStringLiteral("no remote for %1 here and the source sent no key to add it with").arg(entry.remoteUrl)};
    return {RemoteChoice::Action::add, entry.remote, {}};
}

QString toString(AppInstallState state)
{
    switch (state) {
    case AppInstallState::queued: return QStringLiteral("queued");
    case AppInstallState::installing: return QStringLiteral("installing");
    case AppInstallState::installed: return QStringLiteral("installed");
    case AppInstallState::failed: return QStringLiteral("failed");
    case AppInstallState::skipped: return QStringLiteral("skipped");
    }
    return {};
}

QString AppReinstaller::missingTool(const QList<ReinstallEntry>& pending) const
{
    const PackageToolPaths& p = m_tools.paths();
    for (const ReinstallEntry& e : pending) {
        const QString& tool = e.kind == ReinstallEntry::Kind::flatpak ? p.flatpak
                            : e.kind == ReinstallEntry::Kind::snap    ? p.snap
                                                                      : p.aptGet;
        if (!PackageTools::present(tool))
            return tool.isEmpty() ? toString(e.kind) : tool;
    }
    return {};
}

AppReinstaller::Outcome AppReinstaller::run(const QList<ReinstallEntry>& chosen, const InstalledPackages& installed,
                                            const Listener& listener)
{
    Outcome outcome;
    for (const ReinstallEntry& e : chosen)
        listener(event(e, AppInstallState::queued));
    QList<std::pair<QString, QString>> remotes;
    bool remotesRead = false;
    for (const ReinstallEntry& e : chosen) {
        if (installed.contains(e)) {
            ++outcome.skipped;
            listener(event(e, AppInstallState::skipped, QStringLiteral("already installed")));
            continue;
        }
        if (e.kind == ReinstallEntry::Kind::flatpak && !remotesRead) {
            remotes = parseFlatpakRemotes(m_tools.flatpakRemotes().value_or(QString()));
            remotesRead = true;
        }
        listener(event(e, AppInstallState::installing));
        const AppInstallEvent end = installOne(e, remotes);
        ++(end.state == AppInstallState::installed ? outcome.installed : outcome.failed);
        listener(end);
    }
    return outcome;
}

AppInstallEvent AppReinstaller::installOne(const ReinstallEntry& e, QList<std::pair<QString, QString>>& remotes)
{
    CommandResult r;
    QString tool;
    switch (e.kind) {
    case ReinstallEntry::Kind::flatpak: {
        const RemoteChoice remote = chooseRemote(e, remotes);
        if (remote.action == RemoteChoice::Action::refuse)
            return event(e, AppInstallState::failed, remote.reason);
        if (remote.action == RemoteChoice::Action::add) {
            const CommandResult added = m_tools.flatpakAddRemote(remote.name, e.remoteUrl, e.remoteKey);
            if (!added.succeeded())
                return event(e, AppInstallState::failed, failure(QStringLiteral("flatpak remote-add"), added));
            remotes.append({remote.name, e.remoteUrl});
        }
        tool = QStringLiteral("flatpak");
        r = m_tools.flatpakInstall(remote.name, e.id + QStringLiteral("//") + e.branch);
        break;
    }
    case ReinstallEntry::Kind::snap:
        tool = QStringLiteral("snap");
        r = m_tools.snapInstall(e.id, e.classic);
        break;
    case ReinstallEntry::Kind::apt:
        tool = QStringLiteral("apt-get");
        r = m_tools.aptInstall(e.id);
        break;
    }
    return r.succeeded() ? event(e, AppInstallState::installed) : event(e, AppInstallState::failed, failure(tool, r));
}

} // namespace kivo
