// SPDX-License-Identifier: Apache-2.0
#include "platform/CommandRunner.h"
#include "platform/Error.h"
#include "platform/InstalledApplications.h"
#include "platform/Interrupts.h"
#include "platform/PackageTools.h"
#include "platform/Processes.h"
#include "platform/PropertyList.h"
#include "platform/SecretTool.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"

#include <QDateTime>
#include <QDir>
#include <QSignalSpy>
#include <QFile>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <csignal>

using namespace kivo;
using kivo::test::waitUntil;
using kivo::test::writeBytes;

namespace {

QByteArray python(const QString& script)
{
    const CommandResult r = runCommandDetailed(QStringLiteral("python3"), {QStringLiteral("-c"), script});
    EXPECT_TRUE(r.succeeded()) << script.toStdString();
    return r.standardOutput;
}

} // namespace

// Files written by an independent writer read back to the same values in both forms.
TEST(PropertyList, ReadsWhatAnIndependentWriterWroteInBothForms)
{
    for (const char* format : {"FMT_XML", "FMT_BINARY"}) {
        const QByteArray bytes = python(QStringLiteral(
            "import plistlib,sys,datetime;sys.stdout.buffer.write(plistlib.dumps({'s':'Grüße','i':-42,'big':2**40,"
            "'r':1.5,'b':True,'d':b'\\x00\\xff','t':datetime.datetime(2024,5,6,7,8,9),'a':[1,'x',{'k':False}]},"
            "fmt=plistlib.%1))").arg(QLatin1String(format)));
        QString error;
        const auto doc = plist::parse(bytes, &error);
        ASSERT_TRUE(doc) << error.toStdString();
        EXPECT_EQ(doc->format, QByteArrayView(format) == "FMT_XML" ? plist::Format::xml : plist::Format::binary);
        const QVariantMap expected{{"s", QStringLiteral("Grüße")}, {"i", Q_INT64_C(-42)}, {"big", Q_INT64_C(1) << 40},
                                   {"r", 1.5}, {"b", true}, {"d", QByteArray("\x00\xff", 2)},
                                   {"t", QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9), QTimeZone::utc())},
                                   {"a", QVariantList{Q_INT64_C(1), QStringLiteral("x"), QVariantMap{{"k", false}}}}};
        EXPECT_EQ(doc->root.toMap(), expected);

        // Our own serialisation is read back by the independent reader unchanged.
        const QByteArray ours = plist::serialize(doc->root, doc->format);
        QTemporaryDir dir;
        writeBytes(dir.filePath("p.plist"), ours);
        const QByteArray check = python(QStringLiteral(
            "import plistlib;d=plistlib.load(open('%1','rb'));print(d['s'],d['i'],d['big'],d['a'][1],d['d'].hex())")
                                            .arg(dir.filePath("p.plist")));
        EXPECT_EQ(QString::fromUtf8(check).trimmed(), QStringLiteral("Grüße -42 1099511627776 x 00ff"));
    }
}

TEST(PropertyList, RefusesWhatIsNotAPropertyList)
{
    for (const QByteArray& bad : {QByteArray(), QByteArray("hello"), QByteArray("<?xml version=\"1.0\"?><plist><dict><key>a"),
                                  QByteArray("bplist00\x01\x02garbage", 18)}) {
        QString error;
        EXPECT_FALSE(plist::parse(bad, &error)) << bad.toStdString();
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(CommandRunner, ReportsOutputExitTimeoutAndFlood)
{
    auto sh = [](const char* script, CommandOptions o = {}) {
        return runCommandDetailed(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QLatin1String(script)}, o);
    };
    EXPECT_EQ(runCommand(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("echo hi; echo err >&2")}),
              QStringLiteral("hi\n"));
    EXPECT_EQ(runCommand(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("echo hi; exit 3")}), std::nullopt);
    EXPECT_FALSE(runCommandDetailed(QStringLiteral("/nonexistent/tool"), {}).started);

    CommandOptions env;
    env.environment.insert(QStringLiteral("HOME"), QStringLiteral("/scanned/home"));
    EXPECT_EQ(sh("printf %s \"$HOME\"", env).standardOutput, QByteArray("/scanned/home"));

    // A hung tool and the child it started are both gone after the deadline.
    QTemporaryDir dir;
    CommandOptions quick;
    quick.timeout = std::chrono::milliseconds(300);
    const QByteArray script = QStringLiteral("sleep 30 & echo $! > %1; wait").arg(dir.filePath("child")).toUtf8();
    const CommandResult hung = sh(script.constData(), quick);
    EXPECT_TRUE(hung.timedOut);
    QFile pidFile(dir.filePath("child"));
    ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
    const QString childProc = QStringLiteral("/proc/%1/stat").arg(QString::fromUtf8(pidFile.readAll().trimmed()));
    // Gone, or a zombie waiting for init to reap it; SIGKILL lands asynchronously.
    auto gone = [&] {
        QFile stat(childProc);
        return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(" Z ");
    };
    EXPECT_TRUE(waitUntil(gone));

    CommandOptions small;
    small.maxOutputBytes = 1000;
    const CommandResult flood = sh("yes", small);
    EXPECT_TRUE(flood.outputTooLarge);
    EXPECT_FALSE(flood.succeeded());
}

// With no bus named, the Secret Service's client is not even started: it could
// only fail, after making a cache folder in the caller's home.
TEST(SecretTool, WithoutASessionBusNothingIsAskedAndTheCallersHomeIsLeftAlone)
{
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"", "", false},
        {"unix:path=/run/user/1000/bus", "", true},
        {"", "/run/user/1000", true},
    };
    for (const auto& [address, runtime, named] : cases) {
        QProcessEnvironment e;
        if (*address)
            e.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromLatin1(address));
        if (*runtime)
            e.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromLatin1(runtime));
        EXPECT_EQ(secretTool::sessionBusNamed(e), named) << address << " " << runtime;
    }
    QTemporaryDir caller;
    CommandOptions client;
    client.environment = {{QStringLiteral("HOME"), caller.path()},
                          {QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString()},
                          {QStringLiteral("XDG_RUNTIME_DIR"), QString()},
                          {QStringLiteral("XDG_CACHE_HOME"), QString()}};
    EXPECT_EQ(secretTool::lookup({{QStringLiteral("kivo"), QStringLiteral("test")}}, client), std::nullopt);
    EXPECT_THROW(secretTool::store(QStringLiteral("kivo test"), {{QStringLiteral("kivo"), QStringLiteral("test")}}, "secret",
                                   client),
                 SystemError);
    EXPECT_FALSE(secretTool::serviceAnswers(client));
    EXPECT_TRUE(QDir(caller.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

TEST(Processes, MatchesShortOrArgvNameOfTheOwnerExactly)
{
    QTemporaryDir proc;
    auto process = [&](int pid, int uid, const char* comm, const QByteArray& cmdline) {
        const QString base = proc.filePath(QString::number(pid));
        writeBytes(base + "/status", "Name:\tx\nUmask:\t0022\nUid:\t" + QByteArray::number(uid) + "\t0\t0\t0\n");
        writeBytes(base + "/comm", QByteArray(comm) + "\n");
        writeBytes(base + "/cmdline", cmdline);
    };
    process(10, 1000, "Safari", QByteArray("/opt/x/Safari\0--flag\0", 21));
    process(11, 1000, "firefox-bin", QByteArray("/usr/lib/firefox/firefox\0", 25));
    process(12, 0, "chrome", QByteArray("chrome\0", 7));
    process(13, 1000, "kworker/0:1", QByteArray());
    writeBytes(proc.filePath("self/status"), "Uid:\t1\n");

    const QList<RunningProcess> all = runningProcesses(proc.path());
    EXPECT_EQ(all.size(), 4);
    struct Case { unsigned uid; const char* name; bool running; };
    for (const Case& c : {Case{1000, "Safari", true}, Case{1000, "firefox", true}, Case{1000, "firefox-bin", true},
                          Case{1000, "Firefox", false}, Case{1000, "chrome", false}, Case{0, "chrome", true},
                          Case{1000, "", false}})
        EXPECT_EQ(isProcessRunning(all, c.uid, QLatin1String(c.name)), c.running) << c.name;
}

// flatpak makes a per-user installation in any home it is asked about: a home
// without one is asked about the system's only, and with neither, nothing is asked.
TEST(PackageTools, FlatpakIsAskedOnlyAboutInstallationsThatExist)
{
    QTemporaryDir dir;
    const QString asked = dir.filePath("asked");
    const QString tool = dir.filePath("flatpak");
    writeBytes(tool, ("#!/bin/sh\necho \"$*\" >> '" + asked + "'\n").toUtf8(),
               QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    struct Case {
        bool userInstallation, systemInstallation;
        QByteArray arguments;
    };
    for (const Case& c : {Case{true, true, "remotes --columns=name,url\n"},
                          Case{false, true, "remotes --columns=name,url --system\n"},
                          Case{false, false, "<missing>"}}) {
        QTemporaryDir home;
        if (c.userInstallation) {
            ASSERT_TRUE(QDir(home.path()).mkpath(".local/share/flatpak"));
        }
        PackageToolPaths paths;
        paths.flatpak = tool;
        paths.flatpakSystemDir = c.systemInstallation ? dir.path() : dir.filePath("none");
        QFile::remove(asked);
        EXPECT_EQ(PackageTools(paths, home.path()).flatpakRemotes(), std::optional<QString>(QString()));
        EXPECT_EQ(kivo::test::readBytes(asked), c.arguments);
    }
}

TEST(InstalledApplications, BundlesByIdentifierAndDesktopEntriesById)
{
    QTemporaryDir root;
    const QString apps = root.filePath("Applications");
    writeBytes(apps + "/Tool.app/Contents/Info.plist",
              plist::serialize(QVariantMap{{"CFBundleIdentifier", "org.example.Tool"}, {"CFBundleName", "Tool"},
                                           {"CFBundleExecutable", "tool"}},
                               plist::Format::binary));
    writeBytes(apps + "/Broken.app/Contents/Info.plist", "not a plist");
    writeBytes(apps + "/NotAnApp/Contents/Info.plist", plist::serialize(QVariantMap{{"CFBundleIdentifier", "x"}}, plist::Format::xml));
    const QString xdg = root.filePath("share/applications");
    writeBytes(xdg + "/org.gnome.Editor.desktop", "[Desktop Entry]\nName=Text Editor\n[Desktop Action x]\nName=Other\n");
    writeBytes(xdg + "/kde/konsole.desktop", "[Desktop Entry]\nType=Application\n");
    writeBytes(xdg + "/org.example.Tool.desktop", "[Desktop Entry]\nName=Duplicate\n");

    const QList<InstalledApplication> found = installedApplications({{apps}, {xdg}});
    QStringList ids;
    for (const InstalledApplication& a : found)
        ids << a.bundleID + QLatin1Char('=') + a.name;
    // The duplicate identifier keeps the first (the bundle).
    EXPECT_EQ(ids, QStringList({"org.example.Tool=Tool", "kde-konsole=kde-konsole", "org.gnome.Editor=Text Editor"}));
    EXPECT_EQ(found.first().executablePath, apps + "/Tool.app/Contents/MacOS/tool");
}

TEST(Interrupts, BothSignalsArriveOnTheEventLoopInsteadOfEndingTheProcess)
{
    for (const int signal : {SIGINT, SIGTERM}) {
        InterruptNotifier notifier;
        QSignalSpy interrupted(&notifier, &InterruptNotifier::interrupted);
        ASSERT_EQ(std::raise(signal), 0);
        EXPECT_EQ(interrupted.count(), 0) << "nothing runs inside the handler";
        ASSERT_TRUE(interrupted.wait(10000));
        EXPECT_TRUE(notifier.wasInterrupted());
    }
}
