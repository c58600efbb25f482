// SPDX-License-Identifier: Apache-2.0
#include "categories/BrowserSecrets.h"
#include "categories/KeychainExport.h"
#include "categories/LinuxBrowserDataHandler.h"
#include "categories/TreeFixture.h"
#include "support/KeyringSession.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

const QStringList kChromiumItem = {u"xdg:schema"_s, QString::fromLatin1(browserSecrets::kSchema), u"application"_s,
                                   u"chromium"_s};

void makeDatabase(const QString& path, const char* table, const char* column, const QList<QByteArray>& values)
{
    QDir().mkpath(QFileInfo(path).path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    const QByteArray create = QByteArray("CREATE TABLE ") + table + " (name TEXT, " + column + " BLOB)";
    ASSERT_EQ(sqlite3_exec(db, create.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
    const QByteArray insert = QByteArray("INSERT INTO ") + table + " VALUES ('x', ?1)";
    for (const QByteArray& value : values) {
        sqlite3_stmt* s = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, insert.constData(), -1, &s, nullptr), SQLITE_OK);
        sqlite3_bind_blob(s, 1, value.constData(), int(value.size()), SQLITE_TRANSIENT);
        ASSERT_EQ(sqlite3_step(s), SQLITE_DONE);
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
}

QList<QByteArray> readColumn(const QString& path, const char* table, const char* column)
{
    QList<QByteArray> out;
    sqlite3* db = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &db);
    sqlite3_stmt* s = nullptr;
    const QByteArray select = QByteArray("SELECT ") + column + " FROM " + table + " ORDER BY rowid";
    if (sqlite3_prepare_v2(db, select.constData(), -1, &s, nullptr) == SQLITE_OK)
        while (sqlite3_step(s) == SQLITE_ROW)
            out.append(QByteArray(static_cast<const char*>(sqlite3_column_blob(s, 0)), sqlite3_column_bytes(s, 0)));
    sqlite3_finalize(s);
    sqlite3_close(db);
    return out;
}

} // namespace

class BrowserSecretsIntegration : public KeepsSessionBus {
protected:
    void SetUp() override
    {
        m_key.resize(keychain::kKeyBytes);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(m_key.data()), keychain::kKeyBytes / 4);
        const QByteArray sourceKey = browserSecrets::v11Key("source-secret");
        makeDatabase(source() + u"/.config/chromium/Default/Login Data"_s, "logins", "password_value",
                     {browserSecrets::encryptV11("hunter2", sourceKey), "v10-kept-as-it-is"});
        makeDatabase(source() + u"/.config/chromium/Default/Network/Cookies"_s, "cookies", "encrypted_value",
                     {browserSecrets::encryptV11("cookie-value", sourceKey)});
        writeBytes(source() + u"/.config/chromium/Default/Cache/Cache_Data/data_0"_s, "cached");
    }
    QString source() const { return m_root.path() + u"/ann"_s; }
    QString destination() const { return m_root.path() + u"/bob"_s; }
    QString runtimeRoot() const { return m_root.path() + u"/run"_s; }
    static void useBus(const QString& address) { qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8()); }

    // The source's listing with its keyring, delivered into the destination home.
    QStringList sendFrom(const KeyringSession& keys, QList<TransferManifest::FileItem>* items = nullptr)
    {
        useBus(keys.address());
        QTemporaryDir exportFolder;
        const auto listing = LinuxBrowserDataHandler(source(), m_key, u"/proc"_s, runtimeRoot()).listSource(exportFolder.path());
        if (items)
            *items = listing.items;
        for (const auto& item : listing.items) {
            if (item.relativePath.startsWith(LinuxBrowserDataHandler::secretsFolder())) {
                EXPECT_FALSE(readBytes(item.absolutePath()).contains("source-secret")) << "the secret left unsealed";
            }
        }
        return deliver(listing.items, destination());
    }

    QTemporaryDir m_root;
    QByteArray m_key;
};

// Where the account has a key of its own, arriving values are re-encrypted
// with it and it stays; where it has none, the arriving key is stored. Either
// way the sealed export is gone afterwards.
TEST_F(BrowserSecretsIntegration, WhereTheAccountHasItsOwnKeyArrivingValuesAreReencryptedWithIt)
{
    for (const bool hasOwnKey : {true, false}) {
        SCOPED_TRACE(hasOwnKey ? "own key" : "no key");
        ASSERT_TRUE(QDir(destination()).removeRecursively());
        KeyringSession sourceKeys, destinationKeys;
        if (!sourceKeys.isRunning() || !destinationKeys.isRunning())
            GTEST_SKIP() << "gnome-keyring could not be started in a private session";
        ASSERT_TRUE(sourceKeys.store(u"Chromium Safe Storage"_s, kChromiumItem, "source-secret"));
        if (hasOwnKey) {
            ASSERT_TRUE(destinationKeys.store(u"Chromium Safe Storage"_s, kChromiumItem, "destination-secret"));
        }

        QList<TransferManifest::FileItem> items;
        const QStringList received = sendFrom(sourceKeys, &items);
        QSet<QString> listed;
        for (const auto& item : items)
            listed.insert(item.relativePath.startsWith(LinuxBrowserDataHandler::secretsFolder()) ? u"secrets"_s : item.relativePath);
        EXPECT_EQ(listed, (QSet<QString>{u"secrets"_s, u"~/.config/chromium/Default/Login Data"_s,
                                         u"~/.config/chromium/Default/Network/Cookies"_s}));

        useBus(destinationKeys.address());
        const auto counts = LinuxBrowserDataHandler(destination(), m_key, u"/proc"_s, runtimeRoot()).importReceived(received);
        EXPECT_EQ(std::tuple(counts.imported, counts.updated, counts.failed), hasOwnKey ? std::tuple(0, 2, 0) : std::tuple(1, 0, 0));

        const QByteArray secret = hasOwnKey ? "destination-secret" : "source-secret";
        const QByteArray key = browserSecrets::v11Key(secret);
        const auto logins = readColumn(destination() + u"/.config/chromium/Default/Login Data"_s, "logins", "password_value");
        ASSERT_EQ(logins.size(), 2);
        EXPECT_EQ(browserSecrets::decryptV11(logins[0], key), QByteArray("hunter2"));
        EXPECT_EQ(logins[1], QByteArray("v10-kept-as-it-is"));
        const auto cookies = readColumn(destination() + u"/.config/chromium/Default/Network/Cookies"_s, "cookies", "encrypted_value");
        ASSERT_EQ(cookies.size(), 1);
        EXPECT_EQ(browserSecrets::decryptV11(cookies[0], key), QByteArray("cookie-value"));
        EXPECT_EQ(destinationKeys.secretTool(QStringList{u"lookup"_s} + kChromiumItem), secret);
        EXPECT_TRUE(QDir(UserFolders(destination()).expandTilde(LinuxBrowserDataHandler::secretsFolder()))
                        .entryList(QDir::Files).isEmpty());
    }
}

TEST_F(BrowserSecretsIntegration, WithoutAVerifiedPairingTheSecretsStayBehindAndTheListingSaysSo)
{
    QTemporaryDir exportFolder;
    const auto listing = LinuxBrowserDataHandler(source(), {}, u"/proc"_s, runtimeRoot()).listSource(exportFolder.path());
    ASSERT_EQ(listing.skippedFolders.size(), 1);
    EXPECT_TRUE(listing.skippedFolders[0].reason.contains(u"paired securely"_s));
    EXPECT_EQ(listing.items.size(), 2); // the profile's files still go
    EXPECT_TRUE(QDir(exportFolder.path()).entryList(QDir::Files).isEmpty());

    // A snapshot's tree is no account's: nothing is missing from it.
    LinuxBrowserDataHandler snapshot(source(), {}, u"/proc"_s, runtimeRoot());
    snapshot.leaveSecretsOut();
    const auto fromSnapshot = snapshot.listSource(exportFolder.path());
    EXPECT_TRUE(fromSnapshot.skippedFolders.isEmpty());
    EXPECT_EQ(fromSnapshot.items.size(), 2);
}

TEST_F(BrowserSecretsIntegration, WithoutASecretServiceOnTheDestinationTheImportFailsSayingWhy)
{
    const QString sealed = UserFolders(destination()).expandTilde(LinuxBrowserDataHandler::secretsFolder())
        + u"kivo-browser-secrets-1.sealed"_s;
    writeBytes(sealed, keychain::seal(browserSecrets::encodeSecrets({{u"chromium"_s, "source-secret"}}), m_key));
    useBus(u"unix:path="_s + m_root.path() + u"/no-bus-here"_s);
    try {
        LinuxBrowserDataHandler(destination(), m_key, u"/proc"_s, runtimeRoot()).importReceived({sealed});
        FAIL() << "imported without a Secret Service";
    } catch (const std::exception& e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).contains(u"No Secret Service"_s)) << e.what();
    }
    EXPECT_TRUE(QFileInfo::exists(sealed)) << "what could not be imported is kept";
}
