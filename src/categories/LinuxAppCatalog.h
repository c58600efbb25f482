// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

namespace kivo {

// How an application is installed: from the distribution's packages (or any
// other way that gives a plain .desktop file), as a Flatpak, or as a Snap.
// Each keeps its settings somewhere else in the home.
enum class AppFormat { native, flatpak, snap };
QString toString(AppFormat format);

// One application of the shipped table: the names it goes by in each format
// and the home-relative places a native install keeps its settings and data.
struct LinuxApp {
    QString name;
    QStringList desktopIds;
    QString flatpakId;
    QString snapName;
    QString snapBase = QStringLiteral("current"); // "current" or "common"
    QMap<QString, QString> snapPaths;              // native path -> below ~/snap/<name>/, where the Snap differs
    QStringList paths;                             // ".config/GIMP", ".thunderbird", ...
    bool browser = false;                          // its data is the browsers' category's

    static LinuxApp fromJson(const QJsonObject& o); // throws DecodingError
    // The desktop id the app is known by (its first).
    QString key() const { return desktopIds.value(0); }
    // Where a native home-relative path lives for `format`, as "~/..."; a snap's
    // revision folder is `snapRevision` ("current" when not known).
    std::optional<QString> locate(const QString& nativePath, AppFormat format,
                                  const QString& snapRevision = QStringLiteral("current")) const;
};

// Where a "~/" path belongs: the app, the format whose folder holds it, and the
// same path as a native install would have it.
struct AppPathOwner {
    const LinuxApp* app = nullptr;
    AppFormat format = AppFormat::native;
    QString nativePath; // home-relative, without "~/"
};

class LinuxAppCatalog {
public:
    // Throws DecodingError for text that is not the table's shape.
    static LinuxAppCatalog fromJson(const QByteArray& text);
    // The table shipped with the program.
    static const LinuxAppCatalog& shipped();

    const QList<LinuxApp>& apps() const { return m_apps; }
    const LinuxApp* byDesktopId(const QString& id) const;
    const LinuxApp* byFlatpakId(const QString& id) const;
    const LinuxApp* bySnapName(const QString& name) const;
    // A desktop id, flatpak id or snap name.
    const LinuxApp* byAnyId(const QString& id) const;
    // The app whose folders hold `tildePath` in any format, or nothing.
    std::optional<AppPathOwner> ownerOf(const QString& tildePath) const;

private:
    QList<LinuxApp> m_apps;
};

} // namespace kivo
