// SPDX-License-Identifier: Apache-2.0
#include "categories/LinuxBrowsers.h"

#include "platform/CommandRunner.h"

#include <QByteArrayList>
#include <QFileInfo>

#include <algorithm>

namespace kivo::linuxBrowsers {

namespace {

Location native(const QString& path) { return {Format::native, path, {}}; }
Location flatpak(const QString& id, const QString& inside) { return {Format::flatpak, QStringLiteral("~/.var/app/") + id + u'/' + inside, id}; }
Location snap(const QString& name, const QString& inside) { return {Format::snap, QStringLiteral("~/snap/") + name + u'/' + inside, name}; }

bool isUnder(const QString& path, const QString& root)
{
    return path == root || (path.startsWith(root) && path.at(root.size()) == u'/');
}

// Names a browser rebuilds; matched as whole path components.
const QStringList kDisposableNames = {
    QStringLiteral("Cache"), QStringLiteral("Code Cache"), QStringLiteral("GPUCache"), QStringLiteral("ShaderCache"),
    QStringLiteral("GrShaderCache"), QStringLiteral("GraphiteDawnCache"), QStringLiteral("DawnCache"),
    QStringLiteral("DawnGraphiteCache"), QStringLiteral("DawnWebGPUCache"), QStringLiteral("component_crx_cache"),
    QStringLiteral("cache2"), QStringLiteral("startupCache"), QStringLiteral("jumpListCache"),
    QStringLiteral("thumbnails"), QStringLiteral("shader-cache"),
    // Lock files of a running profile: carried over they would say it is in use.
    QStringLiteral("SingletonLock"), QStringLiteral("SingletonSocket"), QStringLiteral("SingletonCookie"),
    QStringLiteral("lock"), QStringLiteral(".parentlock"),
};

struct Group {
    QByteArray header; // "" for lines before the first group
    QByteArrayList lines;
};

QList<Group> groupsOf(const QByteArray& ini)
{
    QList<Group> groups{{}};
    QByteArrayList lines = ini.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (const QByteArray& line : lines) {
        const QByteArray t = line.trimmed();
        if (t.startsWith('[') && t.endsWith(']'))
            groups.append({t.mid(1, t.size() - 2), {}});
        else
            groups.last().lines.append(line);
    }
    return groups;
}

QByteArray valueOf(const Group& g, const QByteArray& key)
{
    for (const QByteArray& line : g.lines)
        if (line.trimmed().startsWith(key + '='))
            return line.trimmed().mid(key.size() + 1);
    return {};
}

} // namespace

const QList<Browser>& browsers()
{
    static const QList<Browser> list = {
        {QStringLiteral("Firefox"),
         {QStringLiteral("firefox"), QStringLiteral("firefox-esr"), QStringLiteral("firefox-bin")},
         {QStringLiteral("firefox"), QStringLiteral("firefox-esr")},
         {},
         {native(QStringLiteral("~/.mozilla/firefox")),
          flatpak(QStringLiteral("org.mozilla.firefox"), QStringLiteral(".mozilla/firefox")),
          snap(QStringLiteral("firefox"), QStringLiteral("common/.mozilla/firefox"))},
         true},
        {QStringLiteral("Chromium"),
         {QStringLiteral("chromium"), QStringLiteral("chromium-browser")},
         {QStringLiteral("chromium"), QStringLiteral("chromium-browser")},
         QStringLiteral("chromium"),
         {native(QStringLiteral("~/.config/chromium")),
          flatpak(QStringLiteral("org.chromium.Chromium"), QStringLiteral("config/chromium")),
          snap(QStringLiteral("chromium"), QStringLiteral("common/chromium"))}},
        {QStringLiteral("Google Chrome"),
         {QStringLiteral("chrome")},
         {QStringLiteral("google-chrome"), QStringLiteral("google-chrome-stable")},
         QStringLiteral("chrome"),
         {native(QStringLiteral("~/.config/google-chrome")),
          flatpak(QStringLiteral("com.google.Chrome"), QStringLiteral("config/google-chrome"))}},
        {QStringLiteral("Brave"),
         {QStringLiteral("brave")},
         {QStringLiteral("brave-browser"), QStringLiteral("brave")},
         QStringLiteral("brave"),
         {native(QStringLiteral("~/.config/BraveSoftware/Brave-Browser")),
          flatpak(QStringLiteral("com.brave.Browser"), QStringLiteral("config/BraveSoftware/Brave-Browser")),
          snap(QStringLiteral("brave"), QStringLiteral("current/.config/BraveSoftware/Brave-Browser"))}},
        {QStringLiteral("Microsoft Edge"),
         {QStringLiteral("msedge")},
         {QStringLiteral("microsoft-edge"), QStringLiteral("microsoft-edge-stable")},
         QStringLiteral("microsoft-edge"),
         {native(QStringLiteral("~/.config/microsoft-edge")),
          flatpak(QStringLiteral("com.microsoft.Edge"), QStringLiteral("config/microsoft-edge"))}},
        {QStringLiteral("Vivaldi"),
         {QStringLiteral("vivaldi-bin")},
         {QStringLiteral("vivaldi"), QStringLiteral("vivaldi-stable")},
         QStringLiteral("vivaldi"),
         {native(QStringLiteral("~/.config/vivaldi")),
          flatpak(QStringLiteral("com.vivaldi.Vivaldi"), QStringLiteral("config/vivaldi")),
          snap(QStringLiteral("vivaldi"), QStringLiteral("current/.config/vivaldi"))}},
    };
    return list;
}

Found locate(const QString& relativePath)
{
    for (const Browser& browser : browsers())
        for (const Location& location : browser.locations)
            if (isUnder(relativePath, location.path))
                return {&browser, &location};
    return {};
}

bool isDisposable(const QString& relativePath)
{
    const Found found = locate(relativePath);
    const QString inside = found.location ? relativePath.mid(found.location->path.size()) : relativePath;
    const QStringList parts = inside.split(u'/', Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (kDisposableNames.contains(parts[i]))
            return true;
        // The cache of service workers, not their registrations.
        if (parts[i] == QLatin1String("Service Worker") && i + 1 < parts.size()
            && (parts[i + 1] == QLatin1String("CacheStorage") || parts[i + 1] == QLatin1String("ScriptCache")))
            return true;
    }
    return relativePath.startsWith(QLatin1String("~/.cache/")) || relativePath == QLatin1String("~/.cache");
}

std::optional<QString> relocatedPath(const QString& relativePath,
                                     const std::function<bool(const Browser&, Format)>& isInstalled)
{
    const Found found = locate(relativePath);
    if (!found.browser || isInstalled(*found.browser, found.location->format))
        return std::nullopt;
    for (const Location& other : found.browser->locations) {
        if (other.format != found.location->format && isInstalled(*found.browser, other.format))
            return other.path + relativePath.mid(found.location->path.size());
    }
    return std::nullopt;
}

bool isInstalled(const Browser& browser, Format format, const QString& homeFolder, const InstallRoots& roots)
{
    switch (format) {
    case Format::native:
        return std::any_of(browser.commands.begin(), browser.commands.end(),
                           [](const QString& c) { return !findExecutable(c).isEmpty(); });
    case Format::flatpak:
    case Format::snap: {
        QStringList places;
        for (const Location& location : browser.locations) {
            if (location.format != format)
                continue;
            if (format == Format::snap) {
                places.append(roots.snaps + u'/' + location.packageId);
                continue;
            }
            for (const QString& installation : roots.flatpakInstallations + QStringList{homeFolder + QStringLiteral("/.local/share/flatpak")})
                places.append(installation + QStringLiteral("/app/") + location.packageId + QStringLiteral("/current"));
        }
        return std::any_of(places.begin(), places.end(), [](const QString& p) { return QFileInfo(p).isDir(); });
    }
    }
    return false;
}

QByteArray withoutInstallSections(const QByteArray& profilesIni)
{
    QList<Group> groups = groupsOf(profilesIni);
    QByteArray adopted;
    for (const Group& g : std::as_const(groups))
        if (g.header.startsWith("Install") && adopted.isEmpty())
            adopted = valueOf(g, "Default");
    groups.removeIf([](const Group& g) { return g.header.startsWith("Install"); });
    const bool known = !adopted.isEmpty() && std::any_of(groups.begin(), groups.end(), [&](const Group& g) {
        return g.header.startsWith("Profile") && valueOf(g, "Path") == adopted;
    });
    QByteArray out;
    for (Group& g : groups) {
        if (known && g.header.startsWith("Profile")) {
            g.lines.removeIf([](const QByteArray& l) { return l.trimmed().startsWith("Default="); });
            if (valueOf(g, "Path") == adopted) {
                // Before the blank line that ends the group.
                qsizetype at = g.lines.size();
                while (at > 0 && g.lines[at - 1].trimmed().isEmpty())
                    --at;
                g.lines.insert(at, "Default=1");
            }
        }
        if (!g.header.isEmpty() || !g.lines.isEmpty())
            out += g.header.isEmpty() ? QByteArray() : '[' + g.header + "]\n";
        for (const QByteArray& line : std::as_const(g.lines))
            out += line + '\n';
    }
    return out;
}

bool isInstallsFile(const QString& relativePath)
{
    const Found found = locate(relativePath);
    return found.browser && found.browser->profilesIni
        && relativePath == found.location->path + QStringLiteral("/installs.ini");
}

bool isProfilesFile(const QString& relativePath)
{
    const Found found = locate(relativePath);
    return found.browser && found.browser->profilesIni
        && relativePath == found.location->path + QStringLiteral("/profiles.ini");
}

} // namespace kivo::linuxBrowsers
