// SPDX-License-Identifier: Apache-2.0
#include "categories/BrowserSecrets.h"
#include "categories/LinuxBrowserDataHandler.h"
#include "categories/LinuxBrowsers.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::linuxBrowsers;
using namespace Qt::StringLiterals;

TEST(LinuxBrowsers, CachesAndLocksNeverTravel)
{
    struct Case {
        QString path;
        bool disposable;
    };
    const QList<Case> cases = {
        {u"~/.config/chromium/Default/Cache/Cache_Data/data_0"_s, true},
        {u"~/.config/chromium/Default/Code Cache/js/index"_s, true},
        {u"~/.config/chromium/GrShaderCache/data_1"_s, true},
        {u"~/.config/google-chrome/Default/GPUCache/index"_s, true},
        {u"~/.config/chromium/ShaderCache/x"_s, true},
        {u"~/.config/BraveSoftware/Brave-Browser/Default/Service Worker/CacheStorage/a/b"_s, true},
        {u"~/.config/BraveSoftware/Brave-Browser/Default/Service Worker/Database/000003.log"_s, false},
        {u"~/.config/chromium/SingletonLock"_s, true},
        {u"~/.mozilla/firefox/abc.default/cache2/entries/0A"_s, true},
        {u"~/.mozilla/firefox/abc.default/startupCache/startupCache.8.little"_s, true},
        {u"~/.mozilla/firefox/abc.default/.parentlock"_s, true},
        {u"~/.var/app/org.mozilla.firefox/.mozilla/firefox/p/cache2/x"_s, true},
        {u"~/.cache/mozilla/firefox/p/cache2/x"_s, true},
        {u"~/.config/chromium/Default/Login Data"_s, false},
        {u"~/.config/chromium/Default/Cookies"_s, false},
        {u"~/.mozilla/firefox/abc.default/places.sqlite"_s, false},
        {u"~/.mozilla/firefox/abc.default/cache2.txt"_s, false},
        {u"~/.config/vivaldi/Default/Cached Theme Images/x.png"_s, false},
        // A profile's own folder that merely ends like a cache name.
        {u"~/.config/chromium/MyCache/x"_s, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isDisposable(c.path), c.disposable) << c.path.toStdString();
}

TEST(LinuxBrowsers, EachFormatHasItsFolderAndDataGoesWhereTheInstalledFormatReads)
{
    EXPECT_EQ(locate(u"~/.config/chromium/Default/Bookmarks"_s).browser->name, u"Chromium"_s);
    EXPECT_EQ(locate(u"~/snap/firefox/common/.mozilla/firefox/profiles.ini"_s).location->format, Format::snap);
    EXPECT_EQ(locate(u"~/.config/chromium-extra/x"_s).browser, nullptr);
    EXPECT_EQ(locate(u"~/.config/google-chrome"_s).browser->secretApplication, u"chrome"_s);

    using Installed = QList<std::pair<QString, Format>>;
    struct Case {
        QString path;
        Installed installed;
        std::optional<QString> expected;
    };
    const QList<Case> cases = {
        // Only the flatpak here: native data moves into its folder.
        {u"~/.mozilla/firefox/abc.default/places.sqlite"_s, {{u"Firefox"_s, Format::flatpak}},
         u"~/.var/app/org.mozilla.firefox/.mozilla/firefox/abc.default/places.sqlite"_s},
        {u"~/.mozilla/firefox/profiles.ini"_s, {{u"Firefox"_s, Format::snap}},
         u"~/snap/firefox/common/.mozilla/firefox/profiles.ini"_s},
        {u"~/snap/chromium/common/chromium/Default/Bookmarks"_s, {{u"Chromium"_s, Format::native}},
         u"~/.config/chromium/Default/Bookmarks"_s},
        {u"~/.var/app/com.brave.Browser/config/BraveSoftware/Brave-Browser/Local State"_s,
         {{u"Brave"_s, Format::snap}}, u"~/snap/brave/current/.config/BraveSoftware/Brave-Browser/Local State"_s},
        // The arriving format is installed (too): it stays.
        {u"~/.mozilla/firefox/p/x"_s, {{u"Firefox"_s, Format::native}, {u"Firefox"_s, Format::flatpak}}, std::nullopt},
        // Nothing installed: stays where it came, for whichever format comes later.
        {u"~/.config/vivaldi/Default/x"_s, {}, std::nullopt},
        // Another browser's install does not count.
        {u"~/.config/chromium/Default/x"_s, {{u"Google Chrome"_s, Format::flatpak}}, std::nullopt},
        {u"~/Documents/x"_s, {{u"Firefox"_s, Format::flatpak}}, std::nullopt},
    };
    for (const Case& c : cases) {
        const auto isInstalled = [&](const Browser& b, Format f) { return c.installed.contains(std::make_pair(b.name, f)); };
        EXPECT_EQ(relocatedPath(c.path, isInstalled), c.expected) << c.path.toStdString();
    }
}

TEST(LinuxBrowsers, InstalledFormatsAreFoundWhereEachFormatInstalls)
{
    QTemporaryDir root;
    const QString home = root.path() + u"/home"_s;
    const InstallRoots roots{{root.path() + u"/flatpak"_s}, root.path() + u"/snap"_s};
    QDir().mkpath(root.path() + u"/flatpak/app/org.mozilla.firefox/current"_s);
    QDir().mkpath(home + u"/.local/share/flatpak/app/com.brave.Browser/current"_s);
    QDir().mkpath(root.path() + u"/snap/chromium"_s);
    QDir().mkpath(root.path() + u"/flatpak/app/org.chromium.Chromium"_s); // no current: an unfinished install
    const auto browser = [](const QString& name) {
        for (const Browser& b : browsers())
            if (b.name == name)
                return b;
        return Browser{};
    };
    struct Case {
        QString browser;
        Format format;
        bool installed;
    };
    const QList<Case> cases = {
        {u"Firefox"_s, Format::flatpak, true},   {u"Firefox"_s, Format::snap, false},
        {u"Brave"_s, Format::flatpak, true},     {u"Chromium"_s, Format::snap, true},
        {u"Chromium"_s, Format::flatpak, false}, {u"Google Chrome"_s, Format::snap, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isInstalled(browser(c.browser), c.format, home, roots), c.installed)
            << c.browser.toStdString() << int(c.format);
}

TEST(LinuxBrowsers, ForeignInstallSectionsAreDroppedAndTheirProfileAdopted)
{
    struct Case {
        QByteArray in, out;
    };
    const QList<Case> cases = {
        {"[Install4F96D1932A9F858E]\nDefault=abc.default-release\nLocked=1\n\n"
         "[Profile1]\nName=default\nIsRelative=1\nPath=xyz.default\nDefault=1\n\n"
         "[Profile0]\nName=default-release\nIsRelative=1\nPath=abc.default-release\n\n"
         "[General]\nStartWithLastProfile=1\nVersion=2\n",
         "[Profile1]\nName=default\nIsRelative=1\nPath=xyz.default\n\n"
         "[Profile0]\nName=default-release\nIsRelative=1\nPath=abc.default-release\nDefault=1\n\n"
         "[General]\nStartWithLastProfile=1\nVersion=2\n"},
        // An install naming a profile that is not listed: only the section goes.
        {"[Profile0]\nPath=a\nDefault=1\n[InstallX]\nDefault=gone\n", "[Profile0]\nPath=a\nDefault=1\n"},
        // Nothing to drop: unchanged.
        {"[General]\nVersion=2\n[Profile0]\nPath=a\n", "[General]\nVersion=2\n[Profile0]\nPath=a\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(withoutInstallSections(c.in), c.out) << c.in.constData();
    EXPECT_TRUE(isProfilesFile(u"~/.var/app/org.mozilla.firefox/.mozilla/firefox/profiles.ini"_s));
    EXPECT_TRUE(isInstallsFile(u"~/.mozilla/firefox/installs.ini"_s));
    EXPECT_FALSE(isInstallsFile(u"~/.mozilla/firefox/abc.default/installs.ini"_s));
    EXPECT_FALSE(isProfilesFile(u"~/.config/chromium/profiles.ini"_s));
}

TEST(LinuxBrowsers, ARunningBrowserRefusesOnlyItsOwnItems)
{
    const auto item = [](const QString& path) {
        TransferManifest::FileItem i;
        i.relativePath = path;
        return i;
    };
    const QList<TransferManifest::FileItem> items = {
        item(u"~/.mozilla/firefox/p/places.sqlite"_s), item(u"~/snap/firefox/common/.mozilla/firefox/p/x"_s),
        item(u"~/.config/chromium/Default/Bookmarks"_s), item(u"~/Documents/firefox.txt"_s)};
    const auto refused = LinuxBrowserDataHandler::refusals(items, [](const QString& n) { return n == u"firefox-esr"_s; });
    ASSERT_EQ(refused.size(), 2);
    EXPECT_EQ(refused[0].first, u"~/.mozilla/firefox/p/places.sqlite"_s);
    EXPECT_EQ(refused[0].second, u"Firefox must be closed before transferring its data"_s);
    EXPECT_EQ(refused[1].first, u"~/snap/firefox/common/.mozilla/firefox/p/x"_s);
    EXPECT_TRUE(LinuxBrowserDataHandler::refusals(items, [](const QString& n) { return n == u"Firefox"_s; }).isEmpty());
}

TEST(BrowserSecrets, V11Codec)
{
    using namespace kivo::browserSecrets;
    const QByteArray key = v11Key("peanuts");
    EXPECT_EQ(key.toHex(), QByteArray("fd621fe5a2b402539dfa147ca9272778"));
    const QByteArray known = "v11" + QByteArray::fromHex("58186cf88abd515a1cd36afe2d4d93ca");
    EXPECT_EQ(decryptV11(known, key), QByteArray("hunter2"));
    EXPECT_EQ(encryptV11("hunter2", key), known);

    const QByteArray other = v11Key("another secret");
    QByteArray badPadding = known;
    badPadding[badPadding.size() - 1] = char(badPadding.back() ^ 0x55);
    struct Case {
        const char* what;
        QByteArray value;
        std::optional<QByteArray> decrypted, reencrypted;
    };
    const QList<Case> cases = {
        {"v11 opens and moves to the other key", known, QByteArray("hunter2"), encryptV11("hunter2", other)},
        {"empty plaintext", encryptV11({}, key), QByteArray(), encryptV11({}, other)},
        {"bad padding", badPadding, std::nullopt, std::nullopt},
        {"not a whole block", known.chopped(1), std::nullopt, std::nullopt},
        {"only the prefix", "v11", std::nullopt, std::nullopt},
        {"v10 is left alone", "v10" + known.mid(3), std::nullopt, "v10" + known.mid(3)},
        {"plain is left alone", "plain", std::nullopt, QByteArray("plain")},
        {"empty is left alone", QByteArray(), std::nullopt, QByteArray()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decryptV11(c.value, key), c.decrypted) << c.what;
        EXPECT_EQ(reencrypted(c.value, key, other), c.reencrypted) << c.what;
    }
    EXPECT_EQ(decryptV11(*reencrypted(known, key, other), other), QByteArray("hunter2"));
}

TEST(BrowserSecrets, ExportRoundTripsAndRejectsWhatIsNoBrowserSecret)
{
    using namespace kivo::browserSecrets;
    const QList<SafeStorageSecret> secrets = {{u"chromium"_s, "c2VjcmV0"}, {u"microsoft-edge"_s, QByteArray("\x01\xff", 2)}};
    EXPECT_EQ(decodeSecrets(encodeSecrets(secrets)), secrets);
    for (const QByteArray& bad : {QByteArray("{}"), QByteArray("not json"),
                                  QByteArray(R"([{"application":"*","secret":"eA=="}])"),
                                  QByteArray(R"([{"application":"chromium","secret":""}])"),
                                  QByteArray(R"([{"application":"chromium","secret":"!!"}])"),
                                  QByteArray(R"([{"application":"Chromium","secret":"eA=="}])")})
        EXPECT_THROW(decodeSecrets(bad), std::exception) << bad.constData();
    EXPECT_EQ(protectedColumnOf(u"Login Data"_s)->column, std::string_view("password_value"));
    EXPECT_EQ(protectedColumnOf(u"Cookies"_s)->table, std::string_view("cookies"));
    EXPECT_FALSE(protectedColumnOf(u"Cookies-journal"_s));
}
