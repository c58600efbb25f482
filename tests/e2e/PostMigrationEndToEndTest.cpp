// SPDX-License-Identifier: Apache-2.0
// A migration into another account on this machine: settings rewritten for
// the new home, preferences of missing applications held back, and every
// file handed to that account through the privileged helper.
#include "platform/PropertyList.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

TEST(PostMigrationEndToEnd, ReceiveIntoAnotherAccountRewritesStagesAndHandsEverythingOver)
{
    if (::geteuid() != 0)
        KIVO_SKIP_OR_FAIL("needs root");
    QTemporaryDir work;
    ::chmod(QFile::encodeName(work.path()).constData(), 0755);
    const QString user = u"kivoe%1"_s.arg(::getpid() % 100000);
    const QString home = work.path() + u"/"_s + user;
    const QString source = work.path() + u"/old/ann"_s;
    runProcess(u"userdel"_s, {u"-f"_s, user});
    ASSERT_EQ(QProcess::execute(u"useradd"_s, {u"-M"_s, u"-d"_s, home, u"-s"_s, u"/bin/false"_s, user}), 0);
    struct Cleanup {
        QString user;
        ~Cleanup() { runProcess(u"userdel"_s, {u"-f"_s, user}); }
    } cleanup{user};
    const struct passwd* pw = ::getpwnam(user.toUtf8().constData());
    ASSERT_NE(pw, nullptr);
    const uid_t uid = pw->pw_uid;
    QDir().mkpath(home);
    ASSERT_EQ(::chown(QFile::encodeName(home).constData(), uid, pw->pw_gid), 0);

    // The source: one installed application's settings, one missing application's.
    const QString installedPlist = u"/Library/Preferences/net.example.Installed.plist"_s;
    const QString installedText = u"/Library/Application Support/net.example.Installed/config.txt"_s;
    const QString missingPlist = u"/Library/Preferences/org.example.Tool.plist"_s;
    writeBytes(source + installedPlist, plist::serialize(QVariantMap{{u"Library"_s, source + u"/Music"_s}}, plist::Format::xml));
    writeBytes(source + installedText, (u"root = "_s + source + u"/Projects\n"_s).toUtf8());
    writeBytes(source + missingPlist, plist::serialize(QVariantMap{{u"Last"_s, source + u"/Desktop/a"_s}}, plist::Format::binary));
    const QString xdg = work.path() + u"/xdg"_s;
    writeBytes(xdg + u"/applications/net.example.Installed.desktop"_s, "[Desktop Entry]\nType=Application\nName=Installed\n");

    QTemporaryDir helperDir;
    const QString socket = helperDir.path() + u"/helper.sock"_s;
    QProcess helper;
    helper.start(qEnvironmentVariable("KIVO_BUILD_DIR") + u"/helper/kivo-helper"_s, {u"--socket"_s, socket, u"--allow-exe"_s, kivoCli()});
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(socket); }, std::chrono::seconds(10)));
    qputenv("KIVO_HELPER_SOCKET", socket.toUtf8());
    qputenv("XDG_DATA_DIRS", xdg.toUtf8());
    qputenv("KIVO_APPLICATIONS_DIR", (work.path() + u"/no-applications"_s).toUtf8());

    CliProcess sender(kivoCli(), {u"send"_s, u"--home"_s, source, u"--categories"_s, u"applicationData"_s, u"--json"_s});
    const QJsonObject advertised = sender.waitForEvent(u"advertising"_s);
    ASSERT_FALSE(advertised.isEmpty()) << sender.errors().constData();
    QStringList receive = receiveFrom({}, advertised);
    receive.replace(1, u"--user"_s); // the account names the destination, not a home folder
    receive.replace(2, user);
    const CliRun received = runCli(receive);
    EXPECT_EQ(received.exitCode, 0) << received.err.constData() << received.out.constData();
    EXPECT_EQ(sender.finish(), 0);

    const QList<QJsonObject> verification = received.events(u"verification"_s);
    ASSERT_EQ(verification.size(), 1);
    EXPECT_TRUE(verification[0].value(u"mismatches"_s).toArray().isEmpty()) << "adapted files answer as they arrived";
    const QList<QJsonObject> ownership = received.events(u"ownership"_s);
    ASSERT_EQ(ownership.size(), 1);
    EXPECT_EQ(ownership[0].value(u"via"_s).toString(), u"helper"_s);
    EXPECT_TRUE(ownership[0].value(u"errors"_s).toArray().isEmpty())
        << QJsonDocument(ownership[0]).toJson().constData();
    // Rewritten for the new home; the missing application's settings held back.
    EXPECT_EQ(plist::readFile(home + installedPlist)->root.toMap().value(u"Library"_s).toString(), home + u"/Music"_s);
    EXPECT_EQ(readBytes(home + installedText), (u"root = "_s + home + u"/Projects\n"_s).toUtf8());
    EXPECT_FALSE(QFile::exists(home + missingPlist));

    auto rootOwned = [&] {
        QStringList found;
        QDirIterator it(home, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            struct stat st {};
            if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && (st.st_uid == 0 || st.st_gid == 0))
                found.append(path);
        }
        return found;
    };
    EXPECT_EQ(rootOwned().join(u'\n').toStdString(), std::string());

    // Unknown keys are named inputs that are unusable.
    EXPECT_EQ(runCli({u"staged"_s, u"apply"_s, u"no.such.bundle"_s, u"--home"_s, home}).exitCode, 6);

    // The missing application arrives while the watcher runs (as root, it acts as the owner).
    const QString apps = work.path() + u"/apps"_s;
    QDir().mkpath(apps);
    CliProcess watch(kivoCli(), {u"staged"_s, u"watch"_s, u"--home"_s, home, u"--apps-dir"_s, apps, u"--json"_s});
    ASSERT_FALSE(watch.waitForEvent(u"watching"_s).isEmpty());
    writeBytes(apps + u"/org.example.Tool.desktop"_s, "[Desktop Entry]\nType=Application\nName=Tool\n");
    const QJsonObject restored = watch.waitForEvent(u"prefApplied"_s);
    EXPECT_EQ(restored.value(u"key"_s).toString(), u"org.example.Tool"_s);
    EXPECT_EQ(plist::readFile(home + missingPlist)->root.toMap().value(u"Last"_s).toString(), home + u"/Desktop/a"_s);
    EXPECT_EQ(rootOwned().join(u'\n').toStdString(), std::string());

    qunsetenv("KIVO_HELPER_SOCKET");
    qunsetenv("XDG_DATA_DIRS");
    qunsetenv("KIVO_APPLICATIONS_DIR");
    helper.terminate();
    helper.waitForFinished(10000);
}

// Killed after its settings were rewritten and staged but before verification,
// a destination resumes; the files adapted before the kill are no mismatch.
TEST(PostMigrationEndToEnd, AResumedTransferVerifiesFilesAdaptedBeforeTheKill)
{
    QTemporaryDir work;
    const QString source = work.path() + u"/old/ann"_s;
    const QString home = work.path() + u"/bob"_s;
    const QString settings = u"/Library/Application Support/net.example.Editor/config.txt"_s;
    const QString prefs = u"/Library/Preferences/org.example.Tool.plist"_s;
    writeBytes(source + settings, (u"root = "_s + source + u"/Projects\n"_s).toUtf8());
    writeBytes(source + prefs, plist::serialize(QVariantMap{{u"Last"_s, source + u"/Desktop/a"_s}}, plist::Format::xml));
    // Developer files come after the settings: a large one keeps the transfer going past them.
    {
        QDir().mkpath(source + u"/Projects"_s);
        QFile big(source + u"/Projects/large.bin"_s);
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        QByteArray block(1 << 20, '\0');
        for (int i = 0; i < 96; ++i) {
            block.fill(char(i));
            big.write(block);
        }
    }
    QDir().mkpath(work.path() + u"/none"_s);
    qputenv("XDG_DATA_DIRS", (work.path() + u"/none"_s).toUtf8());
    qputenv("KIVO_APPLICATIONS_DIR", (work.path() + u"/none"_s).toUtf8());
    qputenv("KIVO_ENV_TOOL", "");
    const QStringList send = {u"send"_s, u"--home"_s, source, u"--categories"_s, u"applicationData,engineeringTools"_s,
                              u"--dev-include"_s, u"Projects"_s, u"--json"_s};
    CliProcess first(kivoCli(), QStringList(send) << u"--max-mbps"_s << u"200"_s);
    const QJsonObject advertised = first.waitForEvent(u"advertising"_s, std::chrono::seconds(90));
    ASSERT_FALSE(advertised.isEmpty()) << first.errors().constData();
    const QString transferID = advertised.value(u"transferID"_s).toString();
    {
        CliProcess victim(kivoCli(), receiveFrom(home, advertised));
        // Reported once its files are rewritten and staged.
        const QJsonObject settingsDone = victim.waitForEvent(u"categoryComplete"_s, std::chrono::minutes(2));
        ASSERT_EQ(settingsDone.value(u"category"_s).toString(), u"applicationData"_s) << victim.errors().constData();
        victim.killHard();
    }
    EXPECT_NE(first.finish(), 0);
    ASSERT_LT(QFileInfo(home + u"/Projects/large.bin"_s).size(), 96 << 20) << "killed before verification";
    EXPECT_FALSE(QFile::exists(home + prefs)) << "staged before the kill";
    EXPECT_FALSE(QFile::exists(home + settings)) << "staged before the kill";

    CliProcess second(kivoCli(), send);
    const QJsonObject again = second.waitForEvent(u"advertising"_s, std::chrono::seconds(90));
    ASSERT_EQ(again.value(u"transferID"_s).toString(), transferID);
    CliProcess resumed(kivoCli(), receiveFrom(home, again));
    // The source holds what it sent against what the destination answers.
    const QJsonObject verification = second.waitForEvent(u"verification"_s, std::chrono::minutes(2));
    EXPECT_EQ(resumed.finish(), 0) << resumed.errors().constData();
    EXPECT_EQ(second.finish(), 0) << second.errors().constData();
    qunsetenv("XDG_DATA_DIRS");
    qunsetenv("KIVO_APPLICATIONS_DIR");
    qunsetenv("KIVO_ENV_TOOL");

    ASSERT_FALSE(verification.isEmpty());
    EXPECT_TRUE(verification.value(u"mismatches"_s).toArray().isEmpty())
        << QJsonDocument(verification).toJson().constData();
    EXPECT_EQ(readBytes(home + u"/Projects/large.bin"_s), readBytes(source + u"/Projects/large.bin"_s));
    const QString store = home + u"/.kivo-staged-prefs"_s;
    EXPECT_EQ(readBytes(store + u"/net.example.Editor"_s + settings), (u"root = "_s + home + u"/Projects\n"_s).toUtf8());
    EXPECT_EQ(plist::readFile(store + u"/org.example.Tool"_s + prefs)->root.toMap().value(u"Last"_s).toString(),
              home + u"/Desktop/a"_s);
}
