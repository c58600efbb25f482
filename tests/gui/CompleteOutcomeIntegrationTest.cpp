// SPDX-License-Identifier: Apache-2.0
// What the complete screen tells of a real run against kivo-cli on loopback,
// one window on each side: the same as the command line tells.
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"
#include "support/GuiHarness.h"
#include "support/KeyringSession.h"
#include "support/WindowChildren.h"

#include "connection/ConnectionManager.h"
#include "log/MigrationLogger.h"
#include "platform/HostNames.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;

namespace {

// This process's keyring for the test's length: the one on the bus at `address`, or none at all.
[[nodiscard]] auto useSessionBus(const QString& address)
{
    const QByteArray saved = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const bool wasSet = qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    return qScopeGuard([saved, wasSet] {
        if (wasSet)
            qputenv("DBUS_SESSION_BUS_ADDRESS", saved);
        else
            qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    });
}

QString nowhere(const QTemporaryDir& work) { return QStringLiteral("unix:path=") + work.filePath(QStringLiteral("no-bus")); }

// Two documents and a keyring with a secret in it.
void prepareSource(const QString& home, const KeyringSession& keys)
{
    writeBytes(home + QStringLiteral("/Documents/a.txt"), "a");
    writeBytes(home + QStringLiteral("/Documents/b.txt"), "b");
    ASSERT_TRUE(keys.store(QStringLiteral("Notes"), {"service", "notes", "account", "ann"}, "s3cret"));
}

bool showsStartingWith(GuiHarness& h, const QString& start)
{
    const QStringList texts = h.visibleTexts();
    return std::any_of(texts.begin(), texts.end(), [&](const QString& t) { return t.startsWith(start); });
}

// What both sides show alike: the category named once in its own words, in place of
// kivo's export, which is neither a failed file nor a mismatch.
void expectCategoryNotImported(GuiHarness& h, const QString& reasonStart)
{
    EXPECT_TRUE(h.waitForText(QStringLiteral("Migration Finished with Issues")));
    const QString shown = h.visibleTexts().join(u'|');
    EXPECT_TRUE(h.showsText(QStringLiteral("Passwords and Keys not imported"))) << shown.toStdString();
    EXPECT_TRUE(showsStartingWith(h, reasonStart)) << shown.toStdString();
    EXPECT_TRUE(h.showsText(QStringLiteral("2 files verified"))) << shown.toStdString();
    EXPECT_FALSE(shown.contains(QStringLiteral("verification mismatch"))) << shown.toStdString();
    EXPECT_FALSE(shown.contains(QStringLiteral("kivo-keychain-export"))) << shown.toStdString();
}

} // namespace

// The window receives from a source reached by address, without a keyring to import into.
TEST(CompleteOutcome, TheDestinationSaysItsKeyringImportFailedAndNamesTheSourceAsItSaidItself)
{
    KeyringSession sourceKeys;
    ASSERT_TRUE(sourceKeys.isRunning()) << "scripts/keyring-session start failed";
    QTemporaryDir work;
    const QString from = work.filePath(QStringLiteral("from")), to = work.filePath(QStringLiteral("to"));
    ASSERT_NO_FATAL_FAILURE(prepareSource(from, sourceKeys));
    QDir().mkpath(to);
    CliProcess sender(kivoCli(), {"send", "--home", from, "--layout", "linux", "--categories", "userFiles,keychain",
                                  "--confirm-sensitive", "--offline", "--hostname", "old-computer", "--json"},
                      sourceKeys.environment());
    const QJsonObject advertised = sender.waitForEvent(QStringLiteral("advertising"));
    ASSERT_FALSE(advertised.isEmpty()) << sender.errors().constData();

    const auto noKeyring = useSessionBus(nowhere(work));
    GuiHarness h(SessionEnvironment{to, QStringLiteral("gui-destination"), {}});
    h.state().addDirectPeer(peerForAddress(QStringLiteral("127.0.0.1"),
                                           quint16(advertised.value(QStringLiteral("port")).toInt()), std::nullopt));
    for (const char* button : {"Get Started", "Destination Computer", "127.0.0.1"})
        ASSERT_TRUE(h.press(QString::fromLatin1(button))) << button;
    typeCode(h, advertised.value(QStringLiteral("code")).toString());
    ASSERT_TRUE(h.waitForStep(MigrationStep::userMapping));
    ASSERT_TRUE(h.press(QStringLiteral("Continue")));
    ASSERT_TRUE(h.waitForStep(MigrationStep::complete, 120s));
    EXPECT_EQ(sender.finish(), 1) << sender.errors().constData();

    expectCategoryNotImported(h, QStringLiteral("Passwords and Keys could not be imported: "));
    EXPECT_TRUE(h.showsText(QStringLiteral("old-computer"))) << h.visibleTexts().join(u'|').toStdString();
    h.screenshot(QStringLiteral("complete-not-imported-destination"));
}

// The window sends its keyring to a destination that has none: it learns so through
// verification and says it as the command line does, naming the destination as it named itself.
TEST(CompleteOutcome, TheSourceSaysTheDestinationCouldNotImportAndNamesIt)
{
    KeyringSession keys;
    ASSERT_TRUE(keys.isRunning()) << "scripts/keyring-session start failed";
    QTemporaryDir work;
    const QString from = work.filePath(QStringLiteral("from")), to = work.filePath(QStringLiteral("to"));
    ASSERT_NO_FATAL_FAILURE(prepareSource(from, keys));
    QDir().mkpath(to);

    const auto ourKeyring = useSessionBus(keys.address());
    SessionEnvironment environment{from, QStringLiteral("gui-source"), {}};
    environment.layout = QStringLiteral("linux");
    GuiHarness h(environment);
    ASSERT_TRUE(h.press(QStringLiteral("Get Started")));
    ASSERT_TRUE(h.press(QStringLiteral("Source Computer")));
    QProcessEnvironment noKeyring = QProcessEnvironment::systemEnvironment();
    noKeyring.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), nowhere(work));
    CliProcess receiver(kivoCli(), {"receive", "--home", to, "--connect",
                                    QStringLiteral("127.0.0.1:%1").arg(h.state().connectionManager()->listeningPort()),
                                    "--code", h.state().pairingCodeText(), "--json"},
                        noKeyring);
    ASSERT_NO_FATAL_FAILURE(runSourceSide(h, {QStringLiteral("Application Data & Preferences"),
                                              QStringLiteral("System Settings"), QStringLiteral("Browser Data")}));
    EXPECT_EQ(receiver.finish(), 7) << receiver.errors().constData();

    expectCategoryNotImported(h, QStringLiteral("The other computer could not import Passwords and Keys"));
    for (const QString& row : {host::displayHostName(), QStringLiteral("gui-source"), QStringLiteral("Network")})
        EXPECT_TRUE(h.showsText(row)) << row.toStdString() << " in " << h.visibleTexts().join(u'|').toStdString();
    EXPECT_FALSE(h.showsText(QStringLiteral("Unknown")));
    h.screenshot(QStringLiteral("complete-not-imported-source"));

    // The log says the same: who the destination was, and that the category failed.
    const auto& open = h.state().migrationLogger()->currentLog();
    ASSERT_TRUE(waitUntil([&] { return open && open->timestampEnd.has_value(); }));
    const MigrationLog& log = *open;
    EXPECT_EQ(log.destinationHostname, host::displayHostName());
    EXPECT_EQ(log.overallStatus, MigrationLog::Status::failed);
    const auto keychain = std::find_if(log.categoriesTransferred.begin(), log.categoriesTransferred.end(),
                                       [](const CategoryResult& c) { return c.categoryID == QLatin1String("keychain"); });
    ASSERT_NE(keychain, log.categoriesTransferred.end());
    EXPECT_EQ(keychain->status, CategoryResult::Status::failed);
}
