// SPDX-License-Identifier: Apache-2.0
// The configuration profile as kivo-cli meets it: profiles written by Python's
// plistlib, `profile check`, and `send`/`receive` under a profile's rules.
#include "app/DemoData.h"
#include "support/ProfileWriter.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

namespace {

// kivo-cli under the profile at that path, when there is one.
CliRun run(const QStringList& args, const QString& profile = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!profile.isEmpty())
        env.insert(QStringLiteral("KIVO_CONFIG_PROFILE"), profile);
    return runCli(args, env);
}

QString hhmm(const QDateTime& t) { return t.toString(QStringLiteral("HH:mm")); }

} // namespace

TEST(ManagedEndToEnd, ProfileCheckNamesFindingsAndMissingKeysAndNeverShowsSecrets)
{
    QTemporaryDir dir;
    const QJsonObject keys{
        {QStringLiteral("kivo.brandingName"), QStringLiteral("Acme")},
        {QStringLiteral("kivo.maxTransferMbps"), QStringLiteral("8")},
        {QStringLiteral("kivo.migrationWindowStart"), QStringLiteral("+8:00")},
        {QStringLiteral("kivo.deploymentMode"), QStringLiteral("managed")},
        {QStringLiteral("kivo.userPrincipal"), QStringLiteral(" ann@acme.example ")},
        {QStringLiteral("kivo.pairingSecret"), QStringLiteral("do-not-print-this-secret")},
        {QStringLiteral("kivo.vaultCredentialSecret"), QStringLiteral("nor-this-one")},
        {QStringLiteral("kivo.telemetryEndpoint"), QStringLiteral("https://telemetry.acme.example/in")},
        {QStringLiteral("kivo.migrationCategories"), QJsonArray{QStringLiteral("userFiles"), 7}},
        {QStringLiteral("kivo.colour"), QStringLiteral("blue")},
    };
    // Both forms of the file read alike is PropertyList.ReadsWhatAnIndependentWriterWroteInBothForms's.
    const CliRun r = run({"profile", "check", writeProfile(dir.filePath(QStringLiteral("p.bin")), keys, true), "--json"});
    EXPECT_EQ(r.exitCode, 1) << r.err.constData();
    EXPECT_FALSE(r.out.contains("do-not-print") || r.err.contains("do-not-print") || r.out.contains("nor-this-one"));
    // What each key reads as is ProfileReading's.
    // The report comes first; the failing exit ends with its error event.
    EXPECT_FALSE(QJsonDocument::fromJson(r.out.split('\n').first()).object().value(QStringLiteral("findings")).toArray().isEmpty());
    EXPECT_EQ(r.event(QStringLiteral("error")).value(QStringLiteral("exitCode")), 1);

    // Managed mode without its principal is unusable.
    QJsonObject incomplete = keys;
    incomplete.remove(QStringLiteral("kivo.userPrincipal"));
    const CliRun missing = run({"profile", "check", writeProfile(dir.filePath(QStringLiteral("m.xml")), incomplete), "--json"});
    EXPECT_EQ(missing.exitCode, 6);
    EXPECT_EQ(QJsonDocument::fromJson(missing.out.split('\n').first()).object().value(QStringLiteral("missingRequiredKeys")),
              QJsonValue(QJsonArray{QStringLiteral("kivo.userPrincipal")}));

    const CliRun clean = run({"profile", "check", writeProfile(dir.filePath(QStringLiteral("c.xml")),
                                                            {{QStringLiteral("kivo.brandingName"), QStringLiteral("Acme")}})});
    EXPECT_EQ(clean.exitCode, 0) << clean.out.constData();
}

TEST(ManagedEndToEnd, UnusableProfilesExitSixNamingThePathAndSendStillRunsWithoutThem)
{
    QTemporaryDir dir;
    const QString xml = writeProfile(dir.filePath(QStringLiteral("good.xml")), {{QStringLiteral("kivo.brandingName"), QStringLiteral("Acme")}});
    const QString bin = writeProfile(dir.filePath(QStringLiteral("good.bin")), {{QStringLiteral("kivo.brandingName"), QStringLiteral("Acme")}}, true);
    const auto mangled = [&dir](const QString& from, const char* name, const std::function<void(QByteArray&)>& change) {
        QByteArray bytes = readBytes(from);
        change(bytes);
        writeBytes(dir.filePath(QString::fromLatin1(name)), bytes);
        return dir.filePath(QString::fromLatin1(name));
    };
    const QStringList unusable{
        mangled(xml, "truncated.xml", [](QByteArray& b) { b.chop(b.size() / 3); }),
        // The trailer's last eight bytes place the offset table: past the end of the file.
        mangled(bin, "offsets.bin", [](QByteArray& b) { b.replace(b.size() - 8, 8, QByteArray(8, '\x7f')); }),
    };
    for (const QString& path : unusable) {
        const CliRun r = run({"profile", "check", path});
        EXPECT_EQ(r.exitCode, 6) << path.toStdString();
        EXPECT_TRUE(r.err.contains(path.toUtf8())) << r.err.constData();
    }

    QTemporaryDir home;
    DemoData::buildSampleHome(home.path(), 5, 1);
    CliProcess send(QStringLiteral("/usr/bin/env"), {QStringLiteral("KIVO_CONFIG_PROFILE=") + unusable[0], kivoCli(), "send", "--home",
                                                    home.path(), "--categories", "userFiles", "--json"});
    EXPECT_FALSE(send.waitForEvent(QStringLiteral("advertising")).isEmpty()) << send.errors().constData();
    EXPECT_TRUE(send.errors().contains("Configuration profile not applied: " + unusable[0].toUtf8()));
}

TEST(ManagedEndToEnd, OutsideTheWindowNeitherSideStarts)
{
    QTemporaryDir dir;
    const QDateTime now = QDateTime::currentDateTime();
    const QString profile = writeProfile(dir.filePath(QStringLiteral("window.xml")),
                                         {{QStringLiteral("kivo.brandingName"), QStringLiteral("Acme")},
                                          {QStringLiteral("kivo.migrationWindowStart"), hhmm(now.addSecs(2 * 3600))},
                                          {QStringLiteral("kivo.migrationWindowEnd"), hhmm(now.addSecs(3 * 3600))}});
    QTemporaryDir home;
    for (const QStringList& args : {QStringList{"send", "--home", home.path()}, QStringList{"receive", "--home", home.path(), "--code", "123456"}}) {
        const CliRun r = run(args, profile);
        EXPECT_EQ(r.exitCode, 5) << args.first().toStdString();
        EXPECT_TRUE(r.err.contains("Migration not available right now. Available " + hhmm(now.addSecs(2 * 3600)).toUtf8()))
            << r.err.constData();
    }
    // `managed` refuses a profile that does not ask for it, and one it cannot read is a bad input;
    // a script reading only stdout learns why.
    const QString unreadable = dir.filePath(QStringLiteral("garbage.plist"));
    QFile garbage(unreadable);
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly) && garbage.write("garbage") > 0);
    garbage.close();
    for (const auto& [file, code] : {std::pair{profile, 5}, std::pair{unreadable, 6}}) {
        const CliRun notManaged = run({"managed", "--profile", file, "--json"});
        EXPECT_EQ(notManaged.exitCode, code) << file.toStdString();
        EXPECT_TRUE(notManaged.err.contains("not a managed deployment")) << notManaged.err.constData();
        EXPECT_EQ(notManaged.event(QStringLiteral("error")).value(QStringLiteral("exitCode")).toInt(), code)
            << notManaged.out.constData();
    }
}
