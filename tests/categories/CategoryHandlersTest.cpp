// SPDX-License-Identifier: Apache-2.0
#include "categories/ApplicationDataHandler.h"
#include "categories/BrowserDataHandler.h"
#include "categories/KeychainExport.h"
#include "categories/KeychainHandler.h"
#include "categories/SystemSettingsHandler.h"
#include "categories/UserFilesHandler.h"
#include "support/CoroTest.h"
#include "support/ErrorText.h"
#include "support/FileBytes.h"
#include "transfer/TransferError.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

CategoryTransferHandler::Item itemAt(const QString& relativePath)
{
    CategoryTransferHandler::Item item;
    item.relativePath = relativePath;
    return item;
}

QStringList refusedPaths(const QList<CategoryTransferHandler::Refusal>& refusals)
{
    QStringList out;
    for (const auto& [path, reason] : refusals)
        out << path + u" | "_s + reason;
    return out;
}

const QByteArray kKey(32, 'k');

} // namespace

TEST(ApplicationDataRefusals, OnlyVendorPreferencesOfMissingApplicationsAreRefused)
{
    const QString reason = u" | App not installed on destination"_s;
    const QList<CategoryTransferHandler::Item> items = {
        itemAt(u"~/Library/Preferences/com.vendor.app.plist"_s),         // three dots, not installed: refused
        itemAt(u"~/Library/Preferences/com.vendor.installed.plist"_s),   // installed
        itemAt(u"~/Library/Preferences/vendor.app.plist"_s),             // two dots only
        itemAt(u"~/Library/Preferences/com.apple.dock.plist"_s),         // the system's
        itemAt(u"~/Library/Preferences/com.vendor.app.lockfile"_s),      // not a preference
        itemAt(u"~/Library/Application Support/com.vendor.gone/data.db"_s), // support data is never refused
        itemAt(u"~/Documents/com.vendor.app.plist"_s),
    };
    EXPECT_EQ(refusedPaths(ApplicationDataHandler::refusals(items, {u"com.vendor.installed"_s})),
              QStringList{u"~/Library/Preferences/com.vendor.app.plist"_s + reason});
}

TEST(BrowserRefusals, RunningBrowsersItemsAreRefusedOnceByExactProcessName)
{
    const QList<CategoryTransferHandler::Item> items = {
        itemAt(u"~/Library/Safari/History.db"_s),
        itemAt(u"~/Library/SafariTools/x"_s), // another folder that only starts alike
        itemAt(u"~/Library/Application Support/Firefox/Profiles/p/places.sqlite"_s),
        itemAt(u"~/Library/Application Support/Google/Chrome/Default/Bookmarks"_s),
    };
    const QStringList running{u"Safari"_s, u"Firefox"_s};
    const auto isRunning = [&](const QString& name) { return running.contains(name); };
    EXPECT_EQ(refusedPaths(BrowserDataHandler::refusals(items, isRunning)),
              QStringList{u"~/Library/Safari/History.db | Safari must be closed before transferring its data"_s});
}

TEST(SystemSettingsImport, OnlyDomainFilesDirectlyInTheReceivedFolderAndNeverTheProtectedOnes)
{
    const QString home = u"/home/ann"_s;
    const QList<std::pair<QString, std::optional<QString>>> cases = {
        {u"~/Library/Preferences/_kivo_settings/com.apple.dock.plist"_s, u"com.apple.dock"_s},
        {u"/home/ann/Library/Preferences/_kivo_settings/NSGlobalDomain.plist"_s, u"NSGlobalDomain"_s},
        {u"~/Library/Preferences/_kivo_settings/com.apple.mdm.x.plist"_s, std::nullopt},
        {u"~/Library/Preferences/_kivo_settings/com.apple.loginwindow.plist"_s, std::nullopt},
        {u"~/Library/Preferences/_kivo_settings/com.apple.security.foo.plist"_s, std::nullopt},
        {u"~/Library/Preferences/_kivo_settings/sub/com.apple.dock.plist"_s, std::nullopt},
        {u"~/Library/Preferences/com.apple.dock.plist"_s, std::nullopt},
        {u"~/Library/Preferences/_kivo_settings/.plist"_s, std::nullopt},
    };
    for (const auto& [path, domain] : cases)
        EXPECT_EQ(SystemSettingsHandler::importableDomain(path, home), domain) << path.toStdString();
}

TEST(KeychainExport, SealsItemsThatOnlyTheSameKeyOpens)
{
    secrets::Item net{{{u"server"_s, u"mail.example.org"_s}, {u"xdg:schema"_s, u"org.gnome.keyring.NetworkPassword"_s}},
                      u"Mail ü"_s, QByteArray("s\0ecret", 7), u"text/plain"_s, u"org.gnome.keyring.NetworkPassword"_s};
    secrets::Item generic{{{u"service"_s, u"notes"_s}}, u"Notes"_s, QByteArray(10240, 'x'), u"text/plain"_s, {}};
    const QByteArray plain = keychain::encodeItems({net, generic});
    const QByteArray sealed = keychain::seal(plain, kKey);
    EXPECT_FALSE(sealed.contains("mail.example.org"));
    EXPECT_NE(keychain::seal(plain, kKey).left(12), sealed.left(12)) << "a fresh nonce each time";
    generic.schema.clear();
    EXPECT_EQ(keychain::decodeItems(keychain::open(sealed, kKey)), (QList<secrets::Item>{net, generic}));

    QByteArray flipped = sealed;
    flipped[20] = char(flipped[20] ^ 1);
    EXPECT_THROW(keychain::open(flipped, kKey), SystemError);
    EXPECT_THROW(keychain::open(sealed, QByteArray(32, 'o')), SystemError);
    EXPECT_THROW(keychain::open(sealed.left(20), kKey), SystemError);
}

TEST(KeychainExport, BinaryAttributesAndMalformedExports)
{
    const auto items = keychain::decodeItems(
        R"([{"_kivo_class":"internet","_kivo_secret":"cHc=","server":"aG9zdA==","server_isData":true,"port":443},{}])");
    ASSERT_EQ(items.size(), 1) << "an empty object is ignored";
    EXPECT_EQ(items[0].attributes.value(u"server"_s), u"host"_s);
    EXPECT_EQ(items[0].attributes.value(u"port"_s), u"443"_s);
    EXPECT_EQ(items[0].attributes.value(u"xdg:schema"_s), u"org.gnome.keyring.NetworkPassword"_s);
    EXPECT_FALSE(items[0].attributes.contains(u"server_isData"_s));
    EXPECT_EQ(items[0].secret, "pw");

    for (const QByteArray& bad : {QByteArray(R"({"a":1})"), QByteArray("[1]"), QByteArray(R"([{"_kivo_secret":"%%"}])")})
        EXPECT_EQ(errorText([&] { keychain::decodeItems(bad); }), u"Encoding error: Invalid keychain export format"_s);
    EXPECT_THROW(keychain::decodeItems("not json"), DecodingError);
}

// A received export that cannot be opened or read fails the import before the
// keychain is touched, and stays where it landed.
TEST(KeychainImport, AnExportThatDoesNotOpenOrParseFailsAndStays)
{
    QTemporaryDir dir;
    const QString object = dir.filePath(u"object.encrypted"_s), flipped = dir.filePath(u"flipped.encrypted"_s);
    writeBytes(object, keychain::seal(R"({"not":"an array"})", kKey));
    QByteArray sealed = keychain::seal("[]", kKey);
    sealed[13] = char(sealed[13] ^ 0x40);
    writeBytes(flipped, sealed);
    EXPECT_TRUE(errorText([&] { KeychainHandler::importExport(object, kKey); }).contains(u"Invalid keychain export format"_s));
    EXPECT_THROW(KeychainHandler::importExport(flipped, kKey), SystemError);
    EXPECT_TRUE(QFile::exists(object));
    EXPECT_TRUE(QFile::exists(flipped));

    // Larger than the limit: refused without being read.
    const QString huge = dir.filePath(u"huge.encrypted"_s);
    QFile f(huge);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.resize(keychain::kMaxExportBytes + 1));
    f.close();
    EXPECT_TRUE(errorText([&] { KeychainHandler::importExport(huge, kKey); }).contains(u"64 MiB"_s));
}

// Without a key from a verified pairing nothing of the keychain is listed, so its
// category contributes no item at all instead of plain keychain files.
TEST(KeychainHandlerWithoutKey, ListsAndImportsNothing)
{
    QTemporaryDir home;
    writeBytes(home.filePath(u"Library/Keychains/login.keychain-db"_s), "raw keychain");
    KeychainHandler handler(home.path(), {});
    EXPECT_THROW(runTask(handler.enumerateFiles({u"~/Library/Keychains"_s})), SystemError);
    EXPECT_THROW(runTask(handler.postImport({home.filePath(u"Library/Keychains/login.keychain-db"_s)})), SystemError);
}

// At the category's start the destination refuses an oversized export and
// clears what an interrupted run left.
TEST(KeychainHandlerDestination, RefusesOversizedExportsAndClearsLeftovers)
{
    QTemporaryDir home;
    const QString leftover = home.filePath(u"Library/Keychains/kivo-keychain-export-0123.encrypted"_s);
    const QString other = home.filePath(u"Library/Keychains/login.keyring"_s);
    writeBytes(leftover, "old export");
    writeBytes(other, "not ours");
    KeychainHandler handler(home.path(), kKey);
    CategoryTransferHandler::Item small = itemAt(u"~/Library/Keychains/kivo-keychain-export-a.encrypted"_s);
    small.size = 1000;
    CategoryTransferHandler::Item huge = itemAt(u"~/Library/Keychains/kivo-keychain-export-b.encrypted"_s);
    huge.size = std::uint64_t(keychain::kMaxExportBytes) + 1;
    EXPECT_EQ(refusedPaths(runTask(handler.preflightDestination({small, huge}))),
              QStringList{huge.relativePath + u" | The keychain export is larger than 64 MiB"_s});
    EXPECT_FALSE(QFile::exists(leftover));
    EXPECT_TRUE(QFile::exists(other));
}

// The source hands the check its manifest's own list: one the check kept would
// make the engine's first mark copy every item.
TEST(SourceAccessCheck, NamesUnreadableFilesAndLetsGoOfTheListBeforeAnswering)
{
    QTemporaryDir home;
    const QString readable = home.path() + u"/readable.txt"_s;
    writeBytes(readable, "x");
    QList<CategoryTransferHandler::Item> items{itemAt(u"~/readable.txt"_s), itemAt(u"~/missing.txt"_s)};
    items[0].setAbsolutePath(readable);
    items[1].setAbsolutePath(home.path() + u"/missing.txt"_s);
    UserFilesHandler handler(home.path());
    const QStringList denied = runTask(handler.validateSourceAccess(items));
    EXPECT_EQ(denied, QStringList{home.path() + u"/missing.txt"_s});
    EXPECT_TRUE(items.isDetached());
}
