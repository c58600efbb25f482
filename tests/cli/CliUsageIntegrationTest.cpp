// SPDX-License-Identifier: Apache-2.0
#include "app/DemoData.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/FileBytes.h"
#include "support/KeyringSession.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo::test;
using namespace Qt::Literals::StringLiterals;

namespace {

// kivo-cli on a pseudo-terminal of its own: what it prints arrives on the
// process's output, what is written to the process is typed on that terminal.
void startOnTerminal(QProcess& p, const QStringList& args)
{
    QStringList quoted;
    for (const QString& a : args)
        quoted << u"'"_s + a + u"'"_s;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(u"script"_s, {u"-q"_s, u"-e"_s, u"-c"_s, kivoCli() + u' ' + quoted.join(u' '), u"/dev/null"_s});
    p.waitForStarted();
}

bool waitForOutput(QProcess& p, QByteArray& seen, const QByteArray& wanted)
{
    const QDeadlineTimer deadline(30000);
    while (!seen.contains(wanted) && !deadline.hasExpired() && p.state() == QProcess::Running) {
        p.waitForReadyRead(200);
        seen += p.readAll();
    }
    return seen.contains(wanted);
}

} // namespace

// Help and usage errors as a user meets them: exit codes and which stream.
TEST(CliUsage, HelpOnStdoutUsageErrorsInTwoLinesOnStderr)
{
    const std::tuple<QStringList, int, const char*, const char*> cases[] = {
        {{u"send"_s, u"--help"_s}, 0, "Usage: kivo-cli send [OPTIONS]\n", ""},
        {{u"--version"_s}, 0, "kivo-cli " KIVO_VERSION "\n", ""},
        {{u"sedn"_s}, 2, "", "kivo-cli: unknown command \"sedn\" (did you mean \"send\"?)\nTry \"kivo-cli --help\".\n"},
        // Refused once the words are understood: still two lines naming the help.
        {{u"receive"_s, u"--connect"_s, u"127.0.0.1:9"_s}, 2, "",
         "kivo-cli receive: --code is needed when there is no terminal to ask on\nTry \"kivo-cli receive --help\".\n"},
        {{u"devtools"_s, u"--home"_s, u"/nonexistent/home"_s}, 2, "",
         "kivo-cli devtools: home folder \"/nonexistent/home\" does not exist\nTry \"kivo-cli devtools --help\".\n"},
        // A mistyped home is never taken for an empty one.
        {{u"log"_s, u"list"_s, u"--home"_s, u"/nonexistent/home"_s}, 2, "",
         "kivo-cli log list: home folder \"/nonexistent/home\" does not exist\nTry \"kivo-cli log list --help\".\n"},
    };
    for (const auto& [args, code, out, err] : cases) {
        const CliRun r = runCli(args);
        EXPECT_EQ(r.exitCode, code) << args.join(u' ').toStdString();
        EXPECT_TRUE(r.out.startsWith(out)) << r.out.constData();
        EXPECT_TRUE(code == 0 ? r.out.contains("\nExamples:\n") || args.first() == u"--version"_s : r.out.isEmpty());
        EXPECT_EQ(r.err, QByteArray(err));
    }
}

// With --json every failure is also one error event on stdout, saying what stderr says.
TEST(CliUsage, EveryFailureWithJsonIsOneErrorEventBesideItsTextOnStderr)
{
    QTemporaryDir work;
    const QString home = work.path() + u"/home"_s, empty = work.path() + u"/empty"_s, missing = work.path() + u"/missing"_s;
    writeBytes(home + u"/Documents/a.txt"_s, "a");
    QDir().mkpath(empty);
    const std::pair<QStringList, int> cases[] = {
        {{u"send"_s, u"--json"_s, u"--bogus"_s}, 2},
        {{u"send"_s, u"--json"_s, u"--home"_s, home, u"--max-mbps"_s, u"0"_s}, 2},
        {{u"receive"_s, u"--json"_s, u"--home"_s, empty, u"--connect"_s, u"127.0.0.1:9"_s}, 2},
        {{u"inspect"_s, u"--json"_s, u"--home"_s, missing}, 2},
        {{u"staged"_s, u"watch"_s, u"--json"_s, u"--home"_s, missing}, 2},
        {{u"apps"_s, u"list"_s, u"--json"_s, u"--home"_s, empty}, 6},
        {{u"devtools"_s, u"--json"_s, u"--home"_s, home, u"--include"_s, u"nothing"_s}, 2},
        {{u"vault"_s, u"forget"_s, u"--json"_s, u"--home"_s, empty}, 2},
        {{u"preflight"_s, u"--json"_s, u"--home"_s, home, u"--offline"_s, u"--destination-free-bytes"_s, u"10"_s}, 5},
    };
    for (const auto& [args, code] : cases) {
        const CliRun r = runCli(args);
        const std::string what = args.join(u' ').toStdString();
        EXPECT_EQ(r.exitCode, code) << what << "\n" << r.err.constData();
        const QList<QJsonObject> errors = r.events(u"error"_s);
        ASSERT_EQ(errors.size(), 1) << what << "\n" << r.out.constData();
        EXPECT_EQ(errors.first().value(u"exitCode"_s).toInt(), code) << what;
        const QByteArray text = errors.first().value(u"text"_s).toString().toUtf8();
        EXPECT_TRUE(!text.isEmpty() && r.err.contains(text)) << what << "\n" << text.constData() << "\n" << r.err.constData();
    }
}

// Nobody can be asked at the command line: choosing ask is told to decide as skip, before anything is offered.
TEST(CliUsage, ConflictPolicyAskSaysItSkips)
{
    QTemporaryDir home;
    writeBytes(home.path() + u"/Documents/a.txt"_s, "a");
    CliProcess send(kivoCli(), {u"send"_s, u"--json"_s, u"--home"_s, home.path(), u"--offline"_s, u"--categories"_s,
                                u"userFiles"_s, u"--conflict-policy"_s, u"ask"_s});
    ASSERT_FALSE(send.waitForEvent(u"advertising"_s).isEmpty()) << send.errors().constData();
    const QList<QJsonObject> warnings = send.events(u"warning"_s);
    EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(), [](const QJsonObject& w) {
        return w.value(u"text"_s).toString().startsWith(u"--conflict-policy ask: "_s);
    }));
    EXPECT_TRUE(send.errors().contains("files the destination already has are skipped"));
    send.killHard();
}

// A destination without a keyring service: the import failure is said once there, both sides
// name the category in verification and count its export neither verified nor mismatched.
TEST(CliUsage, AKeychainTheDestinationCannotImportIsSaidOnceAndNamedByItsCategory)
{
    KeyringSession sourceKeys;
    ASSERT_TRUE(sourceKeys.isRunning()) << "scripts/keyring-session start failed";
    ASSERT_TRUE(sourceKeys.store(u"Notes"_s, {u"service"_s, u"notes"_s, u"account"_s, u"ann"_s}, "s3cret"));
    QTemporaryDir work;
    const QString from = work.filePath(u"from"_s), to = work.filePath(u"to"_s);
    writeBytes(from + u"/Documents/a.txt"_s, "a");
    writeBytes(from + u"/Documents/b.txt"_s, "b");
    QDir().mkpath(to);
    CliProcess sender(kivoCli(), {u"send"_s, u"--home"_s, from, u"--layout"_s, u"linux"_s, u"--categories"_s,
                                  u"userFiles,keychain"_s, u"--confirm-sensitive"_s, u"--offline"_s, u"--json"_s},
                      sourceKeys.environment());
    const QJsonObject advertised = sender.waitForEvent(u"advertising"_s);
    ASSERT_FALSE(advertised.isEmpty()) << sender.errors().constData();
    QProcessEnvironment noKeyring = QProcessEnvironment::systemEnvironment();
    noKeyring.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path="_s + work.filePath(u"no-bus"_s));
    const CliRun received = runCli(receiveFrom(to, advertised), noKeyring);
    const QJsonObject sentVerification = sender.waitForEvent(u"verification"_s);
    const QJsonObject sentSummary = sender.waitForEvent(u"summary"_s);
    EXPECT_EQ(sender.finish(), 1) << sender.errors().constData();
    ASSERT_EQ(received.exitCode, 7) << received.err.constData();

    const QString failure = received.event(u"error"_s).value(u"text"_s).toString();
    EXPECT_TRUE(failure.startsWith(u"Passwords and Keys could not be imported: "_s)) << failure.toStdString();
    EXPECT_EQ(QString::fromUtf8(received.err).split(u'\n').count(failure), 1) << received.err.constData();

    const QJsonArray keychain{QJsonObject{{u"category"_s, u"keychain"_s}, {u"reason"_s, failure}}};
    const QJsonObject receivedVerification = received.event(u"verification"_s);
    EXPECT_EQ(receivedVerification.value(u"failedCategories"_s).toArray(), keychain);
    for (const QJsonObject& verification : {receivedVerification, sentVerification}) {
        EXPECT_EQ(verification.value(u"checked"_s).toInt(), 2) << "the two documents, not the export";
        EXPECT_EQ(verification.value(u"mismatches"_s).toArray(), QJsonArray());
    }
    EXPECT_EQ(received.event(u"summary"_s).value(u"verified"_s).toInt(), 2);
    EXPECT_EQ(sentSummary.value(u"verified"_s).toInt(), 2);
    const QJsonArray told = sentVerification.value(u"failedCategories"_s).toArray();
    ASSERT_EQ(told.size(), 1) << QJsonDocument(sentVerification).toJson().constData();
    EXPECT_EQ(told.first().toObject().value(u"category"_s).toString(), u"keychain"_s);
    EXPECT_TRUE(told.first().toObject().value(u"reason"_s).toString().startsWith(u"The other computer could not import "_s));
}

// The build writes the manual page and the completion where packaging takes them.
TEST(CliUsage, TheBuildsManPageAndCompletionAreWhatKivoCliWrites)
{
    const QString build = qEnvironmentVariable("KIVO_BUILD_DIR");
    EXPECT_EQ(readBytes(build + u"/man/kivo-cli.1"_s), runCli({u"__man-page"_s}).out);
    EXPECT_EQ(readBytes(build + u"/completion/kivo-cli"_s), runCli({u"__bash-completion"_s}).out);
}

// At a terminal receive reaches the source first and asks for the code beside it.
TEST(CliTerminal, ReceiveConnectsWhileTheCodeIsBeingTyped)
{
    QTcpServer source;
    ASSERT_TRUE(source.listen(QHostAddress::LocalHost, 0));
    QTemporaryDir home;
    QProcess receive;
    startOnTerminal(receive, {u"receive"_s, u"--home"_s, home.path(), u"--connect"_s,
                              u"127.0.0.1:%1"_s.arg(source.serverPort()), u"--timeout"_s, u"60"_s});
    QByteArray seen;
    EXPECT_TRUE(waitForOutput(receive, seen, "Enter the 6-digit code")) << seen.constData();
    // The kernel accepts a connection on its own; the first bytes of the
    // handshake show that receive's event loop runs while the prompt waits.
    ASSERT_TRUE(source.waitForNewConnection(30000)) << "no connection while the code was not typed yet";
    QTcpSocket* reached = source.nextPendingConnection();
    EXPECT_TRUE(reached->bytesAvailable() > 0 || reached->waitForReadyRead(30000)) << "no handshake before the code";
    receive.kill();
    receive.waitForFinished();
}

// Reached by address, the source is named as it told in its proof, and loopback is no link at all.
TEST(CliTerminal, CodeTypedAtTheTerminalPairsWithTheSourceByItsOwnNamesAndReceives)
{
    QTemporaryDir work;
    const QString from = work.path() + u"/from"_s, to = work.path() + u"/to"_s;
    kivo::DemoData::buildSampleHome(from, 12, 1);
    CliProcess sender(kivoCli(), {u"send"_s, u"--home"_s, from, u"--categories"_s, u"userFiles"_s, u"--hostname"_s,
                                  u"studio"_s, u"--username"_s, u"ann"_s, u"--json"_s});
    const QJsonObject advertised = sender.waitForEvent(u"advertising"_s);
    ASSERT_FALSE(advertised.isEmpty());
    QProcess receive;
    startOnTerminal(receive, {u"receive"_s, u"--home"_s, to, u"--connect"_s,
                              u"127.0.0.1:%1"_s.arg(advertised.value(u"port"_s).toInt())});
    QByteArray seen;
    ASSERT_TRUE(waitForOutput(receive, seen, "Enter the 6-digit code")) << seen.constData();
    receive.write(advertised.value(u"code"_s).toString().toUtf8() + "\n");
    EXPECT_TRUE(waitForOutput(receive, seen, "Migration complete")) << seen.constData();
    EXPECT_TRUE(seen.contains("Paired with studio (user ann) over Network.")) << seen.constData();
    receive.waitForFinished(60000);
    EXPECT_EQ(receive.exitCode(), 0) << seen.constData();
    EXPECT_EQ(sender.finish(), 0);
}
