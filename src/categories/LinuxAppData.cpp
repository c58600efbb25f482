// SPDX-License-Identifier: Apache-2.0
#include "categories/LinuxAppData.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace kivo {

namespace {

// The XDG folders an app keeps its own folder in.
const QStringList kXdgFolders = {QStringLiteral(".config"), QStringLiteral(".local/share"),
                                 QStringLiteral(".local/state")};

// Entries of the XDG folders that are no single app's: the desktop's own
// settings (moved with the system settings), the Flatpak store, the keyrings,
// caches of thumbnails and the like, and this program's own folders.
const QSet<QString> kReserved = {
    QStringLiteral(".config/dconf"), QStringLiteral(".config/autostart"), QStringLiteral(".config/mimeapps.list"),
    QStringLiteral(".config/user-dirs.dirs"), QStringLiteral(".config/user-dirs.locale"),
    QStringLiteral(".config/gtk-3.0"), QStringLiteral(".config/gtk-4.0"), QStringLiteral(".config/fontconfig"),
    QStringLiteral(".config/kdeglobals"), QStringLiteral(".config/kwinrc"), QStringLiteral(".config/plasmarc"),
    QStringLiteral(".config/plasma-org.kde.plasma.desktop-appletsrc"), QStringLiteral(".config/kglobalshortcutsrc"),
    QStringLiteral(".config/kxkbrc"), QStringLiteral(".config/monitors.xml"), QStringLiteral(".config/pulse"),
    QStringLiteral(".config/systemd"), QStringLiteral(".config/environment.d"), QStringLiteral(".config/menus"),
    QStringLiteral(".config/ibus"), QStringLiteral(".config/kivo"), QStringLiteral(".config/xfce4"),
    QStringLiteral(".config/lxqt"), QStringLiteral(".config/pcmanfm-qt"), QStringLiteral(".config/openbox"),
    QStringLiteral(".local/share/flatpak"), QStringLiteral(".local/share/keyrings"),
    QStringLiteral(".local/share/applications"),
    QStringLiteral(".local/share/fonts"), QStringLiteral(".local/share/icons"), QStringLiteral(".local/share/themes"),
    QStringLiteral(".local/share/Trash"), QStringLiteral(".local/share/recently-used.xbel"),
    QStringLiteral(".local/share/gvfs-metadata"), QStringLiteral(".local/share/mime"),
    QStringLiteral(".local/share/gnome-shell"), QStringLiteral(".local/share/kivo"), QStringLiteral(".local/share/xorg"),
    QStringLiteral(".local/state/wireplumber"), QStringLiteral(".local/state/kivo")};

// Programs that start other programs: their names say nothing about whose folder is whose.
const QSet<QString> kLaunchers = {QStringLiteral("env"),    QStringLiteral("sh"),     QStringLiteral("bash"),
                                  QStringLiteral("flatpak"), QStringLiteral("snap"),  QStringLiteral("python"),
                                  QStringLiteral("python3"), QStringLiteral("java"),  QStringLiteral("pkexec"),
                                  QStringLiteral("sudo"),    QStringLiteral("xdg-open"), QStringLiteral("gio"),
                                  QStringLiteral("gtk-launch"), QStringLiteral("wine"), QStringLiteral("kioclient5")};

QString tilde(const QString& relative) { return QStringLiteral("~/") + relative; }

// A browser's folders, vendor folder and sandboxes included: the browsers' category's, never an app's.
QStringList browserFolders(const LinuxApp& app)
{
    QStringList out;
    for (const QString& p : app.paths)
        out.append(tilde(p).section(u'/', 0, 2));
    if (!app.flatpakId.isEmpty())
        out.append(QStringLiteral("~/.var/app/") + app.flatpakId);
    if (!app.snapName.isEmpty())
        out.append(QStringLiteral("~/snap/") + app.snapName);
    return out;
}

// The entry of an application data folder a "~/" path lies in ("~/.config/GIMP",
// "~/.var/app/org.gimp.GIMP"); empty for a path in none of them.
QString appDataEntryOf(const QString& tildePath)
{
    static const QStringList prefixes = [] {
        QStringList out;
        for (const QString& folder : kXdgFolders + QStringList{QStringLiteral(".var/app"), QStringLiteral("snap")})
            out.append(tilde(folder) + u'/');
        return out;
    }();
    for (const QString& prefix : prefixes) {
        if (!tildePath.startsWith(prefix) || tildePath.size() == prefix.size())
            continue;
        const qsizetype end = tildePath.indexOf(u'/', prefix.size());
        return end < 0 ? tildePath : tildePath.left(end);
    }
    return {};
}

class Home {
public:
    explicit Home(QString folder) : m_folder(std::move(folder)) {}
    bool exists(const QString& tildePath) const { return QFileInfo::exists(absolute(tildePath)); }
    QString absolute(const QString& tildePath) const { return m_folder + tildePath.mid(1); }
    // "~/" children of a folder, except `skip`, sorted.
    QStringList children(const QString& tildeFolder, const QString& skip = {}) const
    {
        QStringList out;
        const QStringList names = QDir(absolute(tildeFolder))
                                      .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                                 QDir::Name);
        for (const QString& name : names)
            if (name != skip)
                out.append(tildeFolder + u'/' + name);
        return out;
    }

private:
    QString m_folder;
};

// A sandbox without its cache; a Snap's revision and common folders without theirs.
QStringList formatFolders(const Home& home, const LinuxApp& app, const InstalledFormats& here)
{
    QStringList out;
    if (here.native)
        for (const QString& p : app.paths)
            if (home.exists(tilde(p)))
                out.append(tilde(p));
    if (here.flatpak)
        out += home.children(QStringLiteral("~/.var/app/") + app.flatpakId, QStringLiteral("cache"));
    if (here.snap) {
        const QString base = QStringLiteral("~/snap/") + app.snapName + u'/';
        out += home.children(base + here.snapRevision, QStringLiteral(".cache"));
        out += home.children(base + QStringLiteral("common"), QStringLiteral(".cache"));
    }
    return out;
}

QStringList formatNames(const InstalledFormats& f)
{
    QStringList out;
    for (const auto& [has, format] : {std::pair{f.native, AppFormat::native}, std::pair{f.flatpak, AppFormat::flatpak},
                                      std::pair{f.snap, AppFormat::snap}})
        if (has)
            out.append(toString(format));
    return out;
}

} // namespace

QStringList LinuxAppDataScan::sentPaths() const
{
    QStringList out;
    for (const FoundApp& app : apps)
        if (app.installed)
            out += app.paths;
    return out;
}

bool InstalledFormats::has(AppFormat format) const
{
    return format == AppFormat::native ? native : format == AppFormat::flatpak ? flatpak : snap;
}

QStringList appDataFolders(const QString& homeFolder, const LinuxApp& app)
{
    InstalledFormats every;
    every.native = true;
    every.flatpak = !app.flatpakId.isEmpty();
    every.snap = !app.snapName.isEmpty();
    return formatFolders(Home(homeFolder), app, every);
}

InstalledFormats installedFormatsOf(const LinuxApp& app, const LinuxInstalls& installs)
{
    InstalledFormats f;
    for (const QString& id : app.desktopIds)
        f.native = f.native || installs.desktopEntries.contains(id);
    f.flatpak = !app.flatpakId.isEmpty() && installs.flatpaks.contains(app.flatpakId);
    f.snap = !app.snapName.isEmpty() && installs.snaps.contains(app.snapName);
    if (f.snap)
        f.snapRevision = installs.snaps.value(app.snapName);
    return f;
}

namespace {

// What the scan has found so far, and which folders are spoken for.
struct ScanState {
    LinuxAppDataScan scan;
    QSet<QString> claimed; // "~/" folders an installed app or a browser owns
    QSet<QString> known;   // desktop ids, Flatpak ids and Snap names the table speaks for
};

void scanCatalogApps(const Home& home, const LinuxInstalls& installs, const LinuxAppCatalog& catalog, ScanState& st)
{
    for (const LinuxApp& app : catalog.apps()) {
        st.known.unite(QSet<QString>(app.desktopIds.cbegin(), app.desktopIds.cend()));
        st.known << app.flatpakId << app.snapName;
        const InstalledFormats here = installedFormatsOf(app, installs);
        if (app.browser) {
            for (const QString& folder : browserFolders(app))
                st.claimed.insert(folder);
            continue;
        }
        const QStringList paths = formatFolders(home, app, here);
        if (!here.any() || paths.isEmpty())
            continue;
        st.scan.apps.append(FoundApp{app.key(), app.name, formatNames(here), true, true, paths});
        // ".local/share/Steam/userdata" claims ".local/share/Steam" too: it is not left behind unseen.
        // A native install's folders of an app installed otherwise stay listed: they are not sent.
        for (const QString& p : here.native ? app.paths : QStringList())
            for (qsizetype cut = p.indexOf(u'/'); cut >= 0 || !st.claimed.contains(tilde(p)); cut = p.indexOf(u'/', cut + 1)) {
                st.claimed.insert(tilde(cut < 0 ? p : p.left(cut)));
                if (cut < 0)
                    break;
            }
        if (here.flatpak)
            st.claimed.insert(QStringLiteral("~/.var/app/") + app.flatpakId);
        if (here.snap)
            st.claimed.insert(QStringLiteral("~/snap/") + app.snapName);
    }
}

// Apps the table does not know: folders named as their desktop id or their program.
void scanUnknownDesktopApps(const Home& home, const LinuxInstalls& installs, ScanState& st)
{
    QStringList desktopIds = installs.desktopEntries.keys();
    desktopIds.sort();
    for (const QString& id : std::as_const(desktopIds)) {
        if (st.known.contains(id))
            continue;
        QStringList paths;
        for (const QString& name : {id, installs.desktopEntries.value(id)}) {
            if (name.isEmpty() || name.startsWith(u'.') || kLaunchers.contains(name))
                continue;
            for (const QString& folder : kXdgFolders) {
                const QString relative = folder + u'/' + name;
                if (!kReserved.contains(relative) && !st.claimed.contains(tilde(relative))
                    && !paths.contains(tilde(relative)) && home.exists(tilde(relative)))
                    paths.append(tilde(relative));
            }
        }
        if (paths.isEmpty())
            continue;
        st.scan.apps.append(FoundApp{id, id, {toString(AppFormat::native)}, true, false, paths});
        st.claimed.unite(QSet<QString>(paths.cbegin(), paths.cend()));
    }
}

// Flatpaks and snaps the table does not know: their own folders, less caches.
void scanUnknownPackagedApps(const Home& home, const LinuxInstalls& installs, ScanState& st)
{
    QStringList flatpaks = installs.flatpaks.values();
    flatpaks.sort();
    for (const QString& id : std::as_const(flatpaks)) {
        const QString folder = QStringLiteral("~/.var/app/") + id;
        if (st.known.contains(id) || !home.exists(folder))
            continue;
        st.scan.apps.append(
            FoundApp{id, id, {toString(AppFormat::flatpak)}, true, false, home.children(folder, QStringLiteral("cache"))});
        st.claimed.insert(folder);
    }
    QStringList snaps = installs.snaps.keys();
    snaps.sort();
    for (const QString& name : std::as_const(snaps)) {
        const QString folder = QStringLiteral("~/snap/") + name;
        if (st.known.contains(name) || !home.exists(folder))
            continue;
        const QStringList paths = home.children(folder + u'/' + installs.snaps.value(name), QStringLiteral(".cache"))
            + home.children(folder + QStringLiteral("/common"), QStringLiteral(".cache"));
        st.scan.apps.append(FoundApp{name, name, {toString(AppFormat::snap)}, true, false, paths});
        st.claimed.insert(folder);
    }
}

} // namespace

LinuxAppDataScan scanLinuxAppData(const QString& homeFolder, const LinuxInstalls& installs,
                                  const LinuxAppCatalog& catalog)
{
    const Home home(homeFolder);
    ScanState st;
    scanCatalogApps(home, installs, catalog, st);
    scanUnknownDesktopApps(home, installs, st);
    scanUnknownPackagedApps(home, installs, st);
    // The rest is listed so the user knows it stays behind.
    for (const QString& folder : kXdgFolders + QStringList{QStringLiteral(".var/app"), QStringLiteral("snap")}) {
        for (const QString& child : home.children(tilde(folder))) {
            if (!st.claimed.contains(child) && !kReserved.contains(child.mid(2)))
                st.scan.unclaimed.append(child);
        }
    }
    return st.scan;
}

bool isOutsideAppData(const QString& tildePath)
{
    static const QSet<QString> outside = [] {
        QSet<QString> out;
        for (const QString& reserved : kReserved)
            out.insert(tilde(reserved));
        for (const LinuxApp& app : LinuxAppCatalog::shipped().apps())
            if (app.browser)
                for (const QString& folder : browserFolders(app))
                    out.insert(folder);
        return out;
    }();
    const QString entry = appDataEntryOf(tildePath);
    if (entry.isEmpty())
        return false;
    if (outside.contains(entry))
        return true;
    // A Flatpak's cache, left behind as every cache is.
    const QString cache = entry + QStringLiteral("/cache");
    return entry.startsWith(QLatin1String("~/.var/app/"))
        && (tildePath == cache || tildePath.startsWith(cache + u'/'));
}

QString relocateAppDataPath(const QString& tildePath, const LinuxAppCatalog& catalog, const LinuxInstalls& installs)
{
    const std::optional<AppPathOwner> owner = catalog.ownerOf(tildePath);
    if (!owner)
        return tildePath;
    const InstalledFormats here = installedFormatsOf(*owner->app, installs);
    std::optional<AppFormat> target;
    if (here.has(owner->format))
        target = owner->format;
    else
        for (AppFormat f : {AppFormat::native, AppFormat::flatpak, AppFormat::snap})
            if (!target && here.has(f))
                target = f;
    if (!target)
        return tildePath;
    return owner->app->locate(owner->nativePath, *target, here.snapRevision).value_or(tildePath);
}

std::optional<StagingClass> stagingClassOf(const QString& tildePath, const LinuxAppCatalog& catalog,
                                           const LinuxInstalls& installs)
{
    if (const std::optional<AppPathOwner> owner = catalog.ownerOf(tildePath)) {
        const LinuxApp& app = *owner->app;
        if (installedFormatsOf(app, installs).any())
            return std::nullopt;
        QStringList triggers = app.desktopIds;
        if (!app.flatpakId.isEmpty() && !triggers.contains(app.flatpakId))
            triggers.append(app.flatpakId);
        // A Snap's menu entry is named <snap>_<app>.
        if (!app.snapName.isEmpty())
            triggers.append(app.snapName + u'_' + app.snapName);
        return StagingClass{app.key(), app.name, triggers};
    }
    // Anything else is named by its folder: ~/.config/<name>, ~/.var/app/<id>, ~/snap/<name>.
    const QStringList parts = tildePath.split(u'/');
    QString name;
    QStringList extraTriggers;
    bool installed = false;
    if (parts.size() > 3 && parts[1] == QLatin1String(".var") && parts[2] == QLatin1String("app")) {
        name = parts[3];
        installed = installs.flatpaks.contains(name);
    } else if (parts.size() > 3 && parts[1] == QLatin1String("snap")) {
        name = parts[2];
        installed = installs.snaps.contains(name);
        extraTriggers.append(name + u'_' + name);
    } else {
        for (const QString& folder : kXdgFolders) {
            const QStringList prefix = (QStringLiteral("~/") + folder).split(u'/');
            if (parts.size() > prefix.size() && parts.mid(0, prefix.size()) == prefix)
                name = parts[prefix.size()];
        }
        installed = installs.desktopEntries.contains(name);
        for (auto it = installs.desktopEntries.cbegin(); !installed && it != installs.desktopEntries.cend(); ++it)
            installed = it.value() == name;
    }
    if (name.isEmpty() || name.startsWith(u'.') || installed)
        return std::nullopt;
    return StagingClass{name, name, QStringList{name} + extraTriggers};
}

} // namespace kivo
