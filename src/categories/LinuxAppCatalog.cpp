// SPDX-License-Identifier: Apache-2.0
#include "categories/LinuxAppCatalog.h"

#include "platform/Error.h"
#include "platform/Json.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace kivo {

namespace {

const QString kVarApp = QStringLiteral("~/.var/app/");
const QString kSnap = QStringLiteral("~/snap/");

// A Flatpak sandbox keeps the XDG folders under its own names.
const QList<std::pair<QString, QString>> kFlatpakFolders = {{QStringLiteral(".config/"), QStringLiteral("config/")},
                                                            {QStringLiteral(".local/share/"), QStringLiteral("data/")}};

bool isUnder(const QString& path, const QString& folder) { return path == folder || path.startsWith(folder + u'/'); }

// A table path is plain: relative, no empty, "." or ".." step.
bool isPlainRelative(const QString& path)
{
    if (path.isEmpty() || path.startsWith(u'/'))
        return false;
    for (const QString& part : path.split(u'/'))
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    return true;
}

} // namespace

LinuxApp LinuxApp::fromJson(const QJsonObject& o)
{
    LinuxApp app;
    app.name = json::requireString(o, "name");
    app.desktopIds = json::requireStringList(o, "desktopIds");
    app.flatpakId = json::optionalString(o, "flatpak").value_or(QString());
    app.snapName = json::optionalString(o, "snap").value_or(QString());
    app.snapBase = json::optionalString(o, "snapBase").value_or(QStringLiteral("current"));
    app.paths = json::requireStringList(o, "paths");
    app.browser = o.value(QStringLiteral("browser")).toBool(false);
    const QJsonObject snapPaths = o.value(QStringLiteral("snapPaths")).toObject();
    for (auto it = snapPaths.begin(); it != snapPaths.end(); ++it)
        app.snapPaths.insert(it.key(), it.value().toString());
    bool plain = !app.desktopIds.isEmpty();
    for (const QString& p : app.paths + app.snapPaths.keys() + app.snapPaths.values())
        plain = plain && isPlainRelative(p);
    if (!plain || (app.snapBase != QLatin1String("current") && app.snapBase != QLatin1String("common")))
        throw DecodingError(QStringLiteral("Invalid application table entry \"%1\"").arg(app.name));
    return app;
}

namespace {

// Flatpak-relative ("config/X") to native (".config/X").
QString nativeFromFlatpak(const QString& rest)
{
    for (const auto& [native, flatpak] : kFlatpakFolders)
        if (rest.startsWith(flatpak))
            return native + rest.mid(flatpak.size());
    return rest;
}

} // namespace

QString toString(AppFormat format)
{
    switch (format) {
    case AppFormat::native: return QStringLiteral("native");
    case AppFormat::flatpak: return QStringLiteral("flatpak");
    case AppFormat::snap: return QStringLiteral("snap");
    }
    return {};
}

std::optional<QString> LinuxApp::locate(const QString& nativePath, AppFormat format, const QString& snapRevision) const
{
    switch (format) {
    case AppFormat::native:
        return QStringLiteral("~/") + nativePath;
    case AppFormat::flatpak:
        if (flatpakId.isEmpty())
            return std::nullopt;
        for (const auto& [native, flatpak] : kFlatpakFolders)
            if (nativePath.startsWith(native))
                return kVarApp + flatpakId + u'/' + flatpak + nativePath.mid(native.size());
        return kVarApp + flatpakId + u'/' + nativePath;
    case AppFormat::snap:
        if (snapName.isEmpty())
            return std::nullopt;
        for (auto it = snapPaths.cbegin(); it != snapPaths.cend(); ++it)
            if (isUnder(nativePath, it.key()))
                return kSnap + snapName + u'/' + it.value() + nativePath.mid(it.key().size());
        return kSnap + snapName + u'/' + (snapBase == QLatin1String("common") ? snapBase : snapRevision) + u'/'
            + nativePath;
    }
    return std::nullopt;
}

LinuxAppCatalog LinuxAppCatalog::fromJson(const QByteArray& text)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        throw DecodingError(QStringLiteral("Invalid application table: %1").arg(error.errorString()));
    LinuxAppCatalog catalog;
    catalog.m_apps = json::requireRecords<LinuxApp>(doc.object(), "applications");
    return catalog;
}

const LinuxAppCatalog& LinuxAppCatalog::shipped()
{
    static const LinuxAppCatalog catalog = [] {
        QFile file(QStringLiteral(":/kivo/LinuxApplications.json"));
        file.open(QIODevice::ReadOnly);
        return fromJson(file.readAll());
    }();
    return catalog;
}

const LinuxApp* LinuxAppCatalog::byDesktopId(const QString& id) const
{
    for (const LinuxApp& app : m_apps)
        if (app.desktopIds.contains(id))
            return &app;
    return nullptr;
}

const LinuxApp* LinuxAppCatalog::byFlatpakId(const QString& id) const
{
    for (const LinuxApp& app : m_apps)
        if (!id.isEmpty() && app.flatpakId == id)
            return &app;
    return nullptr;
}

const LinuxApp* LinuxAppCatalog::bySnapName(const QString& name) const
{
    for (const LinuxApp& app : m_apps)
        if (!name.isEmpty() && app.snapName == name)
            return &app;
    return nullptr;
}

const LinuxApp* LinuxAppCatalog::byAnyId(const QString& id) const
{
    if (const LinuxApp* app = byDesktopId(id))
        return app;
    if (const LinuxApp* app = byFlatpakId(id))
        return app;
    return bySnapName(id);
}

std::optional<AppPathOwner> LinuxAppCatalog::ownerOf(const QString& tildePath) const
{
    const auto claimed = [](const LinuxApp& app, const QString& native) {
        for (const QString& p : app.paths)
            if (isUnder(native, p))
                return true;
        return false;
    };
    if (tildePath.startsWith(kVarApp)) {
        const QString rest = tildePath.mid(kVarApp.size());
        const LinuxApp* app = byFlatpakId(rest.section(u'/', 0, 0));
        const QString native = nativeFromFlatpak(rest.section(u'/', 1));
        if (app && claimed(*app, native))
            return AppPathOwner{app, AppFormat::flatpak, native};
        return std::nullopt;
    }
    if (tildePath.startsWith(kSnap)) {
        const QString rest = tildePath.mid(kSnap.size());
        const LinuxApp* app = bySnapName(rest.section(u'/', 0, 0));
        if (!app)
            return std::nullopt;
        const QString inSnap = rest.section(u'/', 1);
        for (auto it = app->snapPaths.cbegin(); it != app->snapPaths.cend(); ++it)
            if (isUnder(inSnap, it.value()))
                return AppPathOwner{app, AppFormat::snap, it.key() + inSnap.mid(it.value().size())};
        // Below the revision folder ("current", "common" or a number) the home's layout repeats.
        const QString native = inSnap.section(u'/', 1);
        if (claimed(*app, native))
            return AppPathOwner{app, AppFormat::snap, native};
        return std::nullopt;
    }
    if (!tildePath.startsWith(QLatin1String("~/")))
        return std::nullopt;
    const QString native = tildePath.mid(2);
    for (const LinuxApp& app : m_apps)
        if (claimed(app, native))
            return AppPathOwner{&app, AppFormat::native, native};
    return std::nullopt;
}

} // namespace kivo
