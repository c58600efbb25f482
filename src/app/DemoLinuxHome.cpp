// SPDX-License-Identifier: Apache-2.0
#include "app/DemoLinuxHome.h"

#include "categories/BrowserSecrets.h"
#include "platform/CommandRunner.h"
#include "platform/Error.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUrl>

#include <sqlite3.h>

#include <memory>

namespace kivo {

namespace {

void writeText(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size())
        throw SystemError(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
}

void link(const QString& target, const QString& linkPath)
{
    QDir().mkpath(QFileInfo(linkPath).path());
    if (!QFile::link(target, linkPath))
        throw SystemError(QStringLiteral("Cannot link %1").arg(linkPath));
}

struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;

Db openDatabase(const QString& path, int flags)
{
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, flags, nullptr);
    Db db(raw);
    if (rc != SQLITE_OK)
        throw SystemError(QStringLiteral("Cannot open %1: %2").arg(path, QString::fromUtf8(sqlite3_errstr(rc))));
    return db;
}

// A browser database of one table, in the columns Chromium uses, with one row.
void writeDatabase(const QString& path, const QByteArray& schema, const QByteArray& insert, const QList<QByteArray>& row)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile::remove(path);
    const Db db = openDatabase(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (sqlite3_exec(db.get(), schema.constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
        throw SystemError(QStringLiteral("Cannot create %1: %2").arg(path, QString::fromUtf8(sqlite3_errmsg(db.get()))));
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db.get(), insert.constData(), int(insert.size()), &raw, nullptr);
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, &sqlite3_finalize);
    for (int i = 0; i < row.size(); ++i)
        sqlite3_bind_blob(raw, i + 1, row[i].constData(), int(row[i].size()), SQLITE_TRANSIENT);
    if (!raw || sqlite3_step(raw) != SQLITE_DONE)
        throw SystemError(QStringLiteral("Cannot fill %1: %2").arg(path, QString::fromUtf8(sqlite3_errmsg(db.get()))));
}

// A settings database as the desktop keeps it, compiled from keyfile text by dconf itself.
void writeSettings(const QString& home, const QByteArray& keyfile)
{
    const QString dconf = findExecutable(QStringLiteral("dconf"));
    if (dconf.isEmpty())
        throw SystemError(QStringLiteral("The sample's settings need the dconf tool (scripts/setup-deps installs dconf-cli)"));
    QTemporaryDir keyfiles(home + QStringLiteral("/.keyfiles-XXXXXX"));
    writeText(keyfiles.filePath(QStringLiteral("sample")), keyfile);
    const QString database = home + QStringLiteral("/.config/dconf/user");
    QDir().mkpath(QFileInfo(database).path());
    CommandOptions options;
    options.withErrors = true;
    const CommandResult r = runCommandDetailed(dconf, {QStringLiteral("compile"), database, keyfiles.path()}, options);
    if (!r.succeeded())
        throw SystemError(QStringLiteral("dconf could not compile the sample's settings: ")
                          + QString::fromUtf8(r.standardOutput).trimmed());
}

void writeBrowserProfile(const QString& home, quint32 seed)
{
    const QByteArray key = browserSecrets::v11Key(DemoLinuxHome::safeStorageSecret(seed));
    writeDatabase(home + u'/' + QString::fromUtf8(DemoLinuxHome::kLoginData),
                  "CREATE TABLE logins (origin_url VARCHAR NOT NULL, username_value VARCHAR, password_value BLOB, "
                  "date_created INTEGER NOT NULL DEFAULT 0)",
                  "INSERT INTO logins (origin_url, username_value, password_value) VALUES (?1, ?2, ?3)",
                  {"https://mail.example.org/", "ann@example.org",
                   browserSecrets::encryptV11(DemoLinuxHome::kSavedPassword, key)});
    writeDatabase(home + u'/' + QString::fromUtf8(DemoLinuxHome::kCookies),
                  "CREATE TABLE cookies (host_key TEXT NOT NULL, name TEXT NOT NULL, encrypted_value BLOB, "
                  "path TEXT NOT NULL DEFAULT '/')",
                  "INSERT INTO cookies (host_key, name, encrypted_value) VALUES (?1, ?2, ?3)",
                  {".example.org", "SID", browserSecrets::encryptV11(DemoLinuxHome::kCookieValue, key)});
    const QString profile = home + QStringLiteral("/.config/chromium/");
    writeText(profile + QStringLiteral("Local State"), R"({"profile":{"last_used":"Default","info_cache":{"Default":{"name":"Ann"}}}})");
    writeText(profile + QStringLiteral("Default/Preferences"), R"({"homepage":"https://example.org/","profile":{"name":"Ann"}})");
    writeText(profile + QStringLiteral("Default/Bookmarks"),
              R"({"roots":{"bookmark_bar":{"children":[{"name":"Mail","type":"url","url":"https://mail.example.org/"}],"name":"Bookmarks bar","type":"folder"}},"version":1})");
}

void writeApplicationData(const QString& home)
{
    const QString gimp = home + QStringLiteral("/.config/GIMP/2.10/");
    writeText(home + u'/' + QString::fromUtf8(DemoLinuxHome::kAppFile),
              "# GIMP gimprc\n(theme \"Dark\")\n(icon-theme \"Symbolic\")\n(default-image (width 1920) (height 1080))\n");
    writeText(gimp + QStringLiteral("menurc"), "; GIMP menurc\n(gtk_accel_path \"<Actions>/image/image-flatten\" \"<Primary><Shift>f\")\n");
    writeText(gimp + QStringLiteral("templaterc"), "# GIMP templaterc\n(template \"Postcard\" (width 1748) (height 1240) (unit pixels))\n");
}

} // namespace

QByteArray DemoLinuxHome::safeStorageSecret(quint32 seed)
{
    // Chromium keeps 16 random bytes in Base64; these depend only on the seed.
    const QByteArray digest = QCryptographicHash::hash("kivo sample safe storage " + QByteArray::number(seed),
                                                       QCryptographicHash::Sha256);
    return digest.left(16).toBase64();
}

QString DemoLinuxHome::fileUri(const QString& homeFolder, const QString& relativePath)
{
    QString uri = QUrl::fromLocalFile(homeFolder + u'/' + relativePath).toString(QUrl::FullyEncoded);
    // A quote would end the settings value that holds it.
    return uri.replace(u'\'', QStringLiteral("%27"));
}

QByteArray DemoLinuxHome::settingsKeyfile(const QString& homeFolder)
{
    return "[org/gnome/desktop/background]\n"
           "picture-uri='" + fileUri(homeFolder, QString::fromUtf8(kWallpaperFile)).toUtf8() + "'\n"
           "picture-options='zoom'\n"
           "\n[org/gnome/desktop/interface]\n"
           "gtk-theme=" + QByteArray(kThemeValue) + "\n"
           "clock-show-seconds=true\n"
           "text-scaling-factor=1.25\n"
           "\n[org/gnome/desktop/input-sources]\n"
           "sources=[('xkb', 'de'), ('xkb', 'us')]\n"
           "\n[org/gnome/desktop/peripherals/touchpad]\n"
           "tap-to-click=true\n"
           "\n[org/gnome/desktop/remote-desktop/rdp]\n"
           "enable=true\n";
}

void DemoLinuxHome::write(const QString& folder, const QString& finalHome, quint32 seed)
{
    writeText(folder + QStringLiteral("/.config/user-dirs.dirs"),
              "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOCUMENTS_DIR=\"$HOME/Documents\"\n"
              "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\nXDG_MUSIC_DIR=\"$HOME/Music\"\n"
              "XDG_PICTURES_DIR=\"$HOME/Pictures\"\nXDG_VIDEOS_DIR=\"$HOME/Videos\"\n");
    writeText(folder + u'/' + QString::fromUtf8(kWallpaperFile),
              QByteArrayLiteral("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00") + QCryptographicHash::hash("lake", QCryptographicHash::Sha512));
    writeSettings(folder, settingsKeyfile(finalHome));
    writeText(folder + QStringLiteral("/.config/mimeapps.list"),
              "[Default Applications]\ntext/html=chromium.desktop\nimage/png=gimp.desktop\n");
    writeBrowserProfile(folder, seed);
    writeApplicationData(folder);
}

void DemoLinuxHome::installPackage(const QString& dataDir)
{
    writeText(dataDir + QStringLiteral("/applications/gimp.desktop"),
              "[Desktop Entry]\nType=Application\nName=GNU Image Manipulation Program\nExec=gimp-2.10 %U\n");
}

void DemoLinuxHome::installFlatpak(const QString& homeFolder)
{
    // The layout flatpak deploys: app/<id>/current -> <arch>/<branch>, its active commit, and the exported launcher.
    const QString installation = homeFolder + QStringLiteral("/.local/share/flatpak");
    const QString app = installation + QStringLiteral("/app/") + QString::fromUtf8(kAppFlatpak);
    const QString commit = app + QStringLiteral("/x86_64/stable/5e1f0c2d");
    const QString launcher = QStringLiteral("export/share/applications/org.gimp.GIMP.desktop");
    writeText(commit + QStringLiteral("/files/bin/gimp"), "#!/bin/sh\n");
    writeText(commit + u'/' + launcher,
              "[Desktop Entry]\nType=Application\nName=GNU Image Manipulation Program\n"
              "Exec=/usr/bin/flatpak run --branch=stable --arch=x86_64 --command=gimp org.gimp.GIMP %U\n"
              "X-Flatpak=org.gimp.GIMP\n");
    link(QStringLiteral("5e1f0c2d"), app + QStringLiteral("/x86_64/stable/active"));
    link(QStringLiteral("x86_64/stable"), app + QStringLiteral("/current"));
    link(QStringLiteral("../../../app/org.gimp.GIMP/current/active/") + launcher,
         installation + QStringLiteral("/exports/share/applications/org.gimp.GIMP.desktop"));
}

QList<QByteArray> DemoLinuxHome::readColumn(const QString& database, const char* table, const char* column)
{
    const Db db = openDatabase(database, SQLITE_OPEN_READONLY);
    const QByteArray sql = QByteArray("SELECT \"") + column + "\" FROM \"" + table + "\" ORDER BY rowid";
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db.get(), sql.constData(), int(sql.size()), &raw, nullptr) != SQLITE_OK)
        throw SystemError(QStringLiteral("Cannot read %1: %2").arg(database, QString::fromUtf8(sqlite3_errmsg(db.get()))));
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, &sqlite3_finalize);
    QList<QByteArray> out;
    while (sqlite3_step(raw) == SQLITE_ROW)
        out.append(QByteArray(static_cast<const char*>(sqlite3_column_blob(raw, 0)), sqlite3_column_bytes(raw, 0)));
    return out;
}

} // namespace kivo
