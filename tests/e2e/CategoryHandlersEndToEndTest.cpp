// SPDX-License-Identifier: Apache-2.0
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/FileBytes.h"
#include "support/KeyringSession.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

// An independent writer: python's plistlib, in the format asked for.
void writePlist(const QString& path, const QString& pythonDict, const QString& format)
{
    QDir().mkpath(path.left(path.lastIndexOf(u'/')));
    const int rc = QProcess::execute(u"python3"_s, {u"-c"_s, u"import plistlib,sys; plistlib.dump(%1, open(sys.argv[1],'wb'), fmt=plistlib.FMT_%2)"_s.arg(pythonDict, format), path});
    ASSERT_EQ(rc, 0);
}

// The plist's contents as python sees them, for comparing two files.
QByteArray plistContents(const QString& path)
{
    const CliRun r = runProcess(u"python3"_s, {u"-c"_s, u"import plistlib,sys; print(sorted(plistlib.load(open(sys.argv[1],'rb')).items()))"_s, path});
    return r.exitCode == 0 ? r.out : QByteArray("unreadable");
}

// Every file below `root` that holds `needle`.
QStringList filesHolding(const QString& root, const QByteArray& needle)
{
    QStringList out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (f.open(QIODevice::ReadOnly) && f.readAll().contains(needle))
            out << f.fileName();
    }
    return out;
}

} // namespace

// Two kivo-cli runs, each with its own keyring: the keychain arrives whole and
// never in clear on disk, settings domains are re-imported, browser data lands.
// Before that, inspect shows what would move. A running browser's data refused
// is BrowserRefusals.RunningBrowsersItemsAreRefusedOnceByExactProcessName's.
TEST(CategoryHandlersEndToEnd, KeychainSettingsAndBrowsersMoveBetweenTwoKeyrings)
{
    KeyringSession sourceKeys, destinationKeys;
    ASSERT_TRUE(sourceKeys.isRunning() && destinationKeys.isRunning()) << "scripts/keyring-session start failed";
    QTemporaryDir work;
    const QString source = work.filePath(u"src"_s), destination = work.filePath(u"dst"_s);
    const QString sourceTmp = work.filePath(u"srctmp"_s);
    QDir().mkpath(source + u"/Documents"_s);
    QDir().mkpath(destination);
    QDir().mkpath(sourceTmp);
    writeBytes(source + u"/Documents/a.txt"_s, "hello");

    const QByteArray netSecret = "n3t-s3cret-value", bigSecret = QByteArray(8000, 'b') + "END";
    const QStringList mailAttributes{u"xdg:schema"_s, u"org.gnome.keyring.NetworkPassword"_s, u"server"_s,
                                     u"mail.example.org"_s, u"user"_s, u"ann"_s, u"protocol"_s, u"imap"_s};
    ASSERT_TRUE(sourceKeys.store(u"Mail server"_s, mailAttributes, netSecret));
    ASSERT_TRUE(sourceKeys.store(u"Grüße 🔑 Ünïcode"_s, {u"service"_s, u"notes"_s, u"account"_s, u"ann"_s}, "unicode-secret"));
    ASSERT_TRUE(sourceKeys.store(u"Big one"_s, {u"service"_s, u"big"_s, u"account"_s, u"ann"_s}, bigSecret));
    // The destination already has the mail password: it is updated, not duplicated.
    ASSERT_TRUE(destinationKeys.store(u"Old mail"_s, mailAttributes, "old"));

    writePlist(source + u"/Library/Preferences/com.apple.dock.plist"_s, u"{'tilesize': 48, 'autohide': True}"_s, u"BINARY"_s);
    writePlist(source + u"/Library/Preferences/com.apple.finder.plist"_s, u"{'ShowPathbar': True, 'name': 'Grüße'}"_s, u"XML"_s);
    writeBytes(source + u"/Library/Preferences/com.apple.keyboard.plist"_s, "not a plist");
    writeBytes(destination + u"/Library/Preferences/com.apple.keyboard.plist"_s, "the destination's own");
    writeBytes(source + u"/Library/Application Support/Firefox/Profiles/p1/places.sqlite"_s, patterned(5000, 2));

    QProcessEnvironment sourceEnv = sourceKeys.environment();
    sourceEnv.insert(u"TMPDIR"_s, sourceTmp);
    // inspect names what would move, secrets never among it, and leaves no file.
    const CliRun inspect = runCli({u"inspect"_s, u"--home"_s, source, u"--categories"_s,
                                   u"keychain,systemSettings,browserData"_s, u"--json"_s}, sourceEnv);
    EXPECT_EQ(inspect.exitCode, 0) << inspect.err.toStdString();
    for (const QByteArray& secret : {netSecret, QByteArray("unicode-secret"), bigSecret.right(40)})
        EXPECT_FALSE(inspect.out.contains(secret));
    EXPECT_TRUE(inspect.out.contains("Mail server")) << inspect.out.constData();
    EXPECT_EQ(QDir(sourceTmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());

    CliProcess sender(kivoCli(), {u"send"_s, u"--home"_s, source, u"--categories"_s,
                                  u"userFiles,keychain,systemSettings,browserData"_s, u"--confirm-sensitive"_s,
                                  u"--hostname"_s, u"kc-src"_s, u"--json"_s}, sourceEnv);
    const QJsonObject ad = sender.waitForEvent(u"advertising"_s);
    ASSERT_FALSE(ad.isEmpty()) << sender.errors().toStdString();
    CliProcess receiver(kivoCli(), receiveFrom(destination, ad), destinationKeys.environment());
    const QJsonObject imported = receiver.waitForEvent(u"categoryImported"_s, std::chrono::seconds(60));
    const QJsonObject summary = receiver.waitForEvent(u"summary"_s, std::chrono::seconds(60));
    EXPECT_EQ(receiver.finish(), 0) << receiver.errors().toStdString();
    EXPECT_EQ(sender.finish(), 0) << sender.errors().toStdString();

    // Imported exports and settings files are gone, yet verify by what arrived.
    EXPECT_EQ(summary.value(u"mismatches"_s).toArray(), QJsonArray());
    EXPECT_EQ(QList<int>({imported[u"imported"_s].toInt(), imported[u"updated"_s].toInt(), imported[u"failed"_s].toInt()}),
              QList<int>({2, 1, 0}));

    // Keychain: label, attributes and secret, once each.
    EXPECT_EQ(destinationKeys.secretTool({u"lookup"_s, u"server"_s, u"mail.example.org"_s, u"user"_s, u"ann"_s}), netSecret);
    const QByteArray mail = destinationKeys.secretTool({u"search"_s, u"--all"_s, u"server"_s, u"mail.example.org"_s});
    EXPECT_EQ(mail.count("label = "), 1) << mail.toStdString();
    EXPECT_TRUE(destinationKeys.secretTool({u"search"_s, u"service"_s, u"notes"_s}).contains("label = Grüße 🔑 Ünïcode"));
    EXPECT_EQ(destinationKeys.secretTool({u"lookup"_s, u"service"_s, u"big"_s}), bigSecret);
    // No secret in clear on either side's disk, and no export left.
    for (const QByteArray& secret : {netSecret, QByteArray("unicode-secret"), bigSecret.right(40)}) {
        EXPECT_EQ(filesHolding(destination, secret), QStringList());
        EXPECT_EQ(filesHolding(source, secret), QStringList());
        EXPECT_EQ(filesHolding(sourceTmp, secret), QStringList());
    }
    EXPECT_EQ(QDir(sourceTmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    EXPECT_EQ(QDir(destination + u"/Library/Keychains"_s).entryList(QDir::Files | QDir::Hidden), QStringList());

    // Settings: equal content in either format; the corrupt one adds nothing.
    for (const QString& name : {u"com.apple.dock.plist"_s, u"com.apple.finder.plist"_s})
        EXPECT_EQ(plistContents(destination + u"/Library/Preferences/"_s + name),
                  plistContents(source + u"/Library/Preferences/"_s + name)) << name.toStdString();
    EXPECT_EQ(readBytes(destination + u"/Library/Preferences/com.apple.keyboard.plist"_s), "the destination's own");
    EXPECT_EQ(QDir(destination + u"/Library/Preferences/_kivo_settings"_s).entryList(QDir::Files), QStringList());

    EXPECT_EQ(readBytes(destination + u"/Library/Application Support/Firefox/Profiles/p1/places.sqlite"_s), patterned(5000, 2));
    EXPECT_EQ(readBytes(destination + u"/Documents/a.txt"_s), "hello");
}

// Without a terminal the keychain needs --confirm-sensitive when named; a
// keychain that cannot be reached stops the source before it advertises.
TEST(CategoryHandlersEndToEnd, KeychainNeedsConfirmationAndAReachableService)
{
    QTemporaryDir home;
    const CliRun unconfirmed = runCli({u"send"_s, u"--home"_s, home.path(), u"--categories"_s, u"keychain"_s, u"--json"_s});
    EXPECT_EQ(unconfirmed.exitCode, 2);
    EXPECT_TRUE(unconfirmed.err.contains("This will copy all saved passwords"));
    EXPECT_FALSE(unconfirmed.out.contains("advertising"));

    QProcessEnvironment noBus = QProcessEnvironment::systemEnvironment();
    noBus.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path="_s + home.filePath(u"no-bus"_s));
    const CliRun noService = runCli({u"send"_s, u"--home"_s, home.path(), u"--categories"_s, u"keychain"_s,
                                     u"--confirm-sensitive"_s, u"--json"_s}, noBus);
    EXPECT_EQ(noService.exitCode, 7);
    EXPECT_FALSE(noService.err.isEmpty());
    EXPECT_FALSE(noService.out.contains("advertising"));
}
