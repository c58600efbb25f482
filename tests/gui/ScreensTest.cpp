// SPDX-License-Identifier: Apache-2.0
#include "support/GuiHarness.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"

#include "app/ManagedModeCoordinator.h"
#include "categories/DataCategoryManager.h"
#include "categories/KeychainHandler.h"
#include "connection/ConnectionManager.h"
#include "connection/PairingManager.h"
#include "devtools/EngineeringToolsDetector.h"
#include "postmigration/StagedPrefService.h"
#include "preflight/PreflightChecker.h"
#include "transfer/TransferProgress.h"
#include "support/FileBytes.h"
#include "support/HeldKeyringAnswer.h"
#include "support/NoDiscoveryDaemon.h"
#include "support/WindowChildren.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QAccessible>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;

namespace {

const QString kHost = QStringLiteral("test-host");

// A source whose user is not this one's (bob).
DiscoveredPeer oldMac()
{
    DiscoveredPeer peer = peerForAddress(QStringLiteral("old-mac"), 1, std::nullopt);
    peer.username = QStringLiteral("ann");
    return peer;
}

void at(GuiHarness& h, std::optional<DeviceRole> role, MigrationStep step)
{
    h.state().setDeviceRole(role);
    h.state().setCurrentStep(step);
}

void finishedTransfer(GuiHarness& h, const std::function<void(TransferProgress&)>& outcome)
{
    at(h, DeviceRole::destination, MigrationStep::progress);
    TransferProgress& p = *h.state().transferProgress();
    p.setTotalFiles(3);
    p.setTotalBytes(3000);
    outcome(p);
    h.state().setCurrentStep(MigrationStep::complete);
}

// One state of the screens: how to get there, the texts it shows word for
// word, texts that must not be there, and the organisation's profile (plist
// dictionary entries) it runs under.
struct Case {
    const char* name;
    std::function<void(GuiHarness&)> reach;
    QStringList shown;
    QStringList absent = {};
    QString profile = {};
};

QString stringKey(const char* key, const QString& value)
{
    return QStringLiteral("<key>%1</key><string>%2</string>").arg(QLatin1String(key), value);
}

const QString kBranding = stringKey("kivo.brandingName", QStringLiteral("Acme IT"));

// A window that opens two hours from now, so now is outside it.
QString closedWindow()
{
    const QTime now = QTime::currentTime();
    return stringKey("kivo.migrationWindowStart", now.addSecs(7200).toString(QStringLiteral("HH:mm")))
           + stringKey("kivo.migrationWindowEnd", now.addSecs(10800).toString(QStringLiteral("HH:mm")));
}

// The managed run's status screen over a coordinator of this config, owned by the session.
ManagedModeCoordinator& managedRun(GuiHarness& h, ManagedDeploymentConfig config)
{
    config.deploymentMode = DeploymentMode::managed;
    config.allowUnverifiedPairing = true; // not the key these states are about
    auto* coordinator = new ManagedModeCoordinator(std::move(config), h.state(), {}, &h.state());
    h.state().setManagedCoordinator(coordinator);
    return *coordinator;
}

ManagedDeploymentConfig withPrincipal()
{
    ManagedDeploymentConfig config;
    config.userPrincipal = QStringLiteral("ann@example.org");
    return config;
}

const QString kLocked = QStringLiteral("The keyring's default collection \"Login\" is locked");
const QString kKeyringLocked = QStringLiteral(
    "Passwords and Keys cannot be read on this computer: the keyring's default collection \"Login\" is locked. "
    "Unlock the keyring and check again, or leave Passwords and Keys out.");

// This machine's readiness checks, with a keyring that gives the reason `problem` holds
// (none: readable) when asked, worded as the window words it.
void keyringAnswers(GuiHarness& h, std::shared_ptr<QString> problem)
{
    CheckEnvironment environment = CheckEnvironment::fromProcess();
    environment.keychainProblem = [problem = std::move(problem)](HomeLayoutKind layout) {
        return problem->isEmpty() ? QString() : KeychainHandler::unreadableText(*problem, layout, KeychainAdvice::desktopApp);
    };
    h.state().preflightChecker()->setEnvironment(std::move(environment));
}

bool checksDone(GuiHarness& h)
{
    return waitUntil([&] { return h.state().preflightChecker()->hasRun() && !h.state().preflightChecker()->isRunning(); });
}

// The readiness screen over the default selection, which holds the keychain.
void readinessWithKeyring(GuiHarness& h, std::shared_ptr<QString> problem)
{
    keyringAnswers(h, std::move(problem));
    at(h, DeviceRole::source, MigrationStep::userMapping);
    h.state().confirmProposedUserMapping();
    waitUntil([&] { return !h.state().calculatingSizes() && !h.state().scanningFolders(); });
    h.state().goToNext();
    checksDone(h);
}

const QList<Case>& cases()
{
    const auto source = [](MigrationStep step) { return [step](GuiHarness& h) { at(h, DeviceRole::source, step); }; };
    const auto mapped = [](GuiHarness& h) {
        at(h, DeviceRole::source, MigrationStep::userMapping);
        h.state().confirmProposedUserMapping();
        waitUntil([&] { return !h.state().calculatingSizes() && !h.state().scanningFolders(); });
    };
    const auto pairing = [](GuiHarness& h) {
        at(h, DeviceRole::source, MigrationStep::pairing);
        h.state().setPairingCode(h.state().connectionManager()->pairingManager()->generateSession().code);
    };
    // The role chosen on a machine whose service discovery daemon is not running.
    const auto undiscoverable = [](DeviceRole role) {
        return [role](GuiHarness& h) {
            const NoDiscoveryDaemon noDaemon;
            at(h, std::nullopt, MigrationStep::roleSelection);
            h.state().chooseRole(role);
        };
    };
    const QString noDiscovery = QStringLiteral("Service discovery is not available on this computer");
    static const QList<Case> table = {
        {"discovery-failed-source", undiscoverable(DeviceRole::source),
         {noDiscovery, "Waiting for the destination computer to connect"}, {"Broadcasting as " + kHost}},
        {"discovery-failed-destination", undiscoverable(DeviceRole::destination),
         {noDiscovery,
          "Cannot look for the source computer on the network: " + QString::fromLatin1(NoDiscoveryDaemon::kReason)
              + ". Connect to it by address instead.",
          "Connect by Address"},
         {"Searching for nearby computers…", "Connect by Address…"}},
        {"discovery-address-refused",
         [undiscoverable](GuiHarness& h) {
             undiscoverable(DeviceRole::destination)(h);
             h.state().connectToAddress(QStringLiteral("old-mac"));
         },
         {"Add the port after the address, like 192.168.1.20:47011."}},
        {"discovery-destination-peer",
         [](GuiHarness& h) {
             h.state().addDirectPeer(oldMac());
             at(h, DeviceRole::destination, MigrationStep::discovery);
         },
         {"old-mac", "ann"}, {"Searching for nearby computers…"}},
        {"pairing-source", pairing, {"Enter This Code on the Other Computer", "60"}, {"Session Expired"}},
        {"mapping-destination",
         [](GuiHarness& h) {
             h.state().setSelectedPeer(oldMac());
             at(h, DeviceRole::destination, MigrationStep::userMapping);
         },
         {"Usernames differ — paths will be updated automatically"}},
        {"manifest-developer-tools",
         [mapped](GuiHarness& h) {
             writeBytes(h.state().environment().homeFolder + QStringLiteral("/.zshrc"), "export EDITOR=vi\n");
             mapped(h);
             h.press(QStringLiteral("Developer Tools"));
             waitUntil([&] { return h.state().engToolsDetector()->hasScanned() && !h.state().engToolsDetector()->isScanning(); });
         },
         {".zshrc — 17 bytes"}},
        {"manifest-keyring-sheet",
         [mapped](GuiHarness& h) {
             mapped(h);
             h.press(QStringLiteral("Passwords and Keys")); // left out
             h.press(QStringLiteral("Passwords and Keys")); // asked for back: the sheet asks first
         },
         {"Passwords and Keys Are Sensitive", "I Understand, Include Passwords and Keys"},
         {"Keychain Data is Sensitive", "I Understand, Include Keychain"}},
        {"summary",
         [](GuiHarness& h) {
             at(h, DeviceRole::source, MigrationStep::preflightSummary);
             waitUntil([&] { return h.state().preFlightReport() && !h.state().preFlightScanRunning(); });
         },
         {"Export Summary…", "Nothing left out.", "None found."}},
        {"complete-issues",
         [](GuiHarness& h) {
             finishedTransfer(h, [](TransferProgress& p) {
                 p.setVerificationMismatches({QStringLiteral("~/Documents/a.txt")});
                 p.setIsComplete(true);
             });
         },
         {"Migration Finished with Issues", "1 verification mismatch(es)"}, {"Migration Complete"}},
        {"log-sheet-with-record",
         [](GuiHarness& h) {
             finishedTransfer(h, [](TransferProgress& p) { p.setIsComplete(true); });
             h.state().startMigrationLog();
             h.state().completeMigrationLog();
             h.press(QStringLiteral("View Log"));
         },
         {"Migration Log", kHost, "Completed"}, {"completed"}},
        {"staged-sheet-with-bundles",
         [](GuiHarness& h) {
             finishedTransfer(h, [](TransferProgress& p) { p.setIsComplete(true); });
             StagedPrefService& service = *h.state().stagedPrefService();
             const QString home = h.state().environment().homeFolder;
             const auto stage = [&](const QString& key, const QString& name, const QDateTime& at) {
                 const QString file = home + QStringLiteral("/.config/") + key + QStringLiteral("/settings.conf");
                 writeBytes(file, "x=1\n");
                 service.stager().stage(key, name, {key}, {{file, QStringLiteral("~/.config/") + key + QStringLiteral("/settings.conf"), 4, {}}},
                                        std::chrono::hours(24 * 7), false, at);
             };
             // A name long enough to wrap, and one whose window has passed.
             stage(QStringLiteral("org.example.Long"),
                   QStringLiteral("A Photo Organiser With A Very Long Name That Has To Wrap Onto A Second Line"),
                   QDateTime::currentDateTimeUtc());
             stage(QStringLiteral("org.example.Old"), QStringLiteral("Old Editor"), QDateTime::currentDateTimeUtc().addDays(-8));
             service.refresh();
             h.press(QStringLiteral("Staged Preferences"));
         },
         {"Preferences waiting on apps", "Old Editor", "Expired — pending discard", "Apply", "Discard"},
         {"No staged preferences"}},
        {"welcome-profile", [](GuiHarness&) {},
         {"Managed by Acme IT", "Available " + QTime::currentTime().addSecs(7200).toString(QStringLiteral("HH:mm"))},
         {"Preview Demo"}, kBranding + closedWindow()},
        {"preflight-keyring-locked",
         [](GuiHarness& h) { readinessWithKeyring(h, std::make_shared<QString>(kLocked)); },
         {"Passwords and Keys can be read", kKeyringLocked, "Leave Passwords and Keys Out", "Check Again"}},
        {"preflight-profile", source(MigrationStep::preflight),
         {"Locked by your organisation’s configuration profile (8 Mbps)."}, {},
         kBranding + stringKey("kivo.conflictPolicy", QStringLiteral("KEEPNEWER"))
             + QStringLiteral("<key>kivo.maxTransferMbps</key><integer>8</integer>")},
        {"manifest-over-limit",
         [mapped](GuiHarness& h) {
             writeBytes(h.state().environment().homeFolder + QStringLiteral("/Documents/big.bin"), QByteArray(2 * 1048576, 'x'));
             mapped(h);
         },
         {"Exceeds 1 MB limit"}, {}, kBranding + QStringLiteral("<key>kivo.maxTransferSizeMB</key><integer>1</integer>")},
        {"managed-failed",
         [](GuiHarness& h) {
             TransferSummary lost;
             lost.error = QStringLiteral("The connection was lost.");
             managedRun(h, withPrincipal()).finishTransfer(lost);
         },
         {"Migration failed", "The connection was lost."}},
    };
    return table;
}

SessionEnvironment environmentIn(const QString& home, const QString& profilePath = {})
{
    return {.homeFolder = home, .hostname = kHost, .username = QStringLiteral("bob"), .profilePath = profilePath};
}

// A profile of these dictionary entries in `folder`; none (the effective one) without entries.
QString writeProfile(const QString& folder, const QString& entries)
{
    if (entries.isEmpty())
        return {};
    const QString path = folder + QStringLiteral("/com.kivo.config.plist");
    writeBytes(path, QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>%1</dict></plist>")
                         .arg(entries).toUtf8());
    return path;
}

// "" at scale 1; "-scale2" when this process renders at scale factor 2.
QString scaleSuffix()
{
    return qEnvironmentVariable("QT_SCALE_FACTOR") == QLatin1String("2") ? QStringLiteral("-scale2") : QString();
}

} // namespace

// Every screen and sheet loads without a QML warning, shows its texts exactly
// in the state that shows them, lays out without clipped or overlapping text at
// both window sizes, and leaves a screenshot of each.
TEST(Screens, TextsLayoutAndScreenshots)
{
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        QTemporaryDir home, profileFolder;
        const QString profile = writeProfile(profileFolder.path(), c.profile);
        // At scale factor 2 the small window is the one at risk (and the large one costly to draw).
        const QList<QSize> sizes = scaleSuffix().isEmpty() ? QList<QSize>{{800, 600}, {1920, 1080}} : QList<QSize>{{800, 600}};
        for (const QSize size : sizes) {
            GuiHarness h(environmentIn(home.path(), profile), size);
            c.reach(h);
            const QStringList texts = h.visibleTexts();
            for (const QString& text : c.shown)
                EXPECT_TRUE(texts.contains(text)) << "missing: " << text.toStdString();
            for (const QString& text : c.absent)
                EXPECT_FALSE(texts.contains(text)) << "unexpected: " << text.toStdString();
            EXPECT_TRUE(h.layoutProblems().isEmpty())
                << h.layoutProblems().join(u'\n').toStdString() << " at " << size.width() << "x" << size.height();
            EXPECT_TRUE(h.unnamedControls().isEmpty()) << h.unnamedControls().join(u'\n').toStdString();
            h.screenshot(QStringLiteral("%1-%2x%3%4").arg(QLatin1String(c.name)).arg(size.width()).arg(size.height())
                             .arg(scaleSuffix()));
        }
    }
}

// The same at scale factor 2, which a process fixes at start: a child run of this test.
TEST(Screens, AtScaleFactorTwo)
{
    if (!scaleSuffix().isEmpty())
        GTEST_SKIP() << "already the child";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_SCALE_FACTOR"), QStringLiteral("2"));
    const CliRun child = runProcess(QCoreApplication::applicationFilePath(),
                                    {QStringLiteral("--gtest_filter=Screens.TextsLayoutAndScreenshots")}, env, std::chrono::minutes(5));
    EXPECT_EQ(child.exitCode, 0) << child.out.right(6000).toStdString() << child.err.right(2000).toStdString();
}

// Outside the organisation's window the wizard does not start; an unattended
// run keeps its window, with no way to close or minimise it, until it ends.
TEST(Screens, ProfileHoldsTheStartAndTheManagedWindow)
{
    QTemporaryDir home, profileFolder;
    GuiHarness h(environmentIn(home.path(), writeProfile(profileFolder.path(), kBranding + closedWindow())));
    h.press(QStringLiteral("Get Started"));
    EXPECT_EQ(h.state().currentStep(), MigrationStep::welcome);

    ManagedModeCoordinator& run = managedRun(h, withPrincipal());
    h.settle();
    EXPECT_TRUE(h.window()->flags().testFlag(Qt::CustomizeWindowHint));
    EXPECT_FALSE(h.window()->flags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(h.window()->flags().testFlag(Qt::WindowCloseButtonHint));
    h.window()->close();
    h.settle();
    EXPECT_TRUE(h.window()->isVisible());

    run.finishTransfer(TransferSummary{});
    h.settle();
    EXPECT_FALSE(h.window()->flags().testFlag(Qt::CustomizeWindowHint));
    h.window()->close();
    h.settle();
    EXPECT_FALSE(h.window()->isVisible());
}

// "Add Folder..." opens a folder chooser in the home served: a folder of the
// home joins the list, one outside it is refused.
TEST(Screens, AddFolderChoosesAFolderOfTheHome)
{
    QTemporaryDir home, elsewhere;
    ASSERT_TRUE(QDir().mkpath(home.path() + QStringLiteral("/Projects/kivo")));
    GuiHarness h(environmentIn(home.path()));
    at(h, DeviceRole::source, MigrationStep::userMapping);
    h.state().confirmProposedUserMapping();
    waitUntil([&] { return !h.state().scanningFolders(); });
    ASSERT_TRUE(h.press(QStringLiteral("Choose Folders")));
    ASSERT_TRUE(h.press(QStringLiteral("Add Folder...")));
    QObject* dialog = nullptr;
    for (QObject* o : h.window()->findChildren<QObject*>())
        if (o->inherits("QQuickFolderDialog"))
            dialog = o;
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->property("visible").toBool());
    EXPECT_EQ(dialog->property("currentFolder").toUrl(), QUrl::fromLocalFile(home.path()));

    const auto choose = [&](const QString& folder) {
        dialog->setProperty("selectedFolder", QUrl::fromLocalFile(folder));
        QMetaObject::invokeMethod(dialog, "accept");
        h.settle();
    };
    choose(elsewhere.path());
    EXPECT_TRUE(h.showsText(QStringLiteral("Choose a folder inside your home folder.")));
    ASSERT_TRUE(h.press(QStringLiteral("Add Folder...")));
    choose(home.path() + QStringLiteral("/Projects/kivo"));
    EXPECT_TRUE(h.showsText(home.path() + QStringLiteral("/Projects/kivo")));
    EXPECT_FALSE(h.showsText(QStringLiteral("Choose a folder inside your home folder.")));
}

// "Export Summary…" asks where, offering the Desktop under the report's name,
// and writes the report where the person chose.
TEST(Screens, ExportSummaryAsksWhereAndWritesThere)
{
    QTemporaryDir home, elsewhere;
    ASSERT_TRUE(QDir().mkpath(home.path() + QStringLiteral("/Desktop")));
    GuiHarness h(environmentIn(home.path()));
    at(h, DeviceRole::source, MigrationStep::preflightSummary);
    ASSERT_TRUE(waitUntil([&] { return h.state().preFlightReport() && !h.state().preFlightScanRunning(); }));
    ASSERT_TRUE(h.press(QStringLiteral("Export Summary…")));
    QObject* dialog = nullptr;
    for (QObject* o : h.window()->findChildren<QObject*>())
        if (o->inherits("QQuickFileDialog"))
            dialog = o;
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->property("visible").toBool());
    const QString offered = dialog->property("selectedFile").toUrl().toLocalFile();
    EXPECT_EQ(QFileInfo(offered).absolutePath(), QDir(home.path() + QStringLiteral("/Desktop")).absolutePath());
    EXPECT_TRUE(QFileInfo(offered).fileName().startsWith(QStringLiteral("kivo-preflight-")));

    const QString chosen = elsewhere.filePath(QStringLiteral("summary.json"));
    // The person picks another place: the dialog reports it as its selection.
    dialog->setProperty("selectedFile", QUrl::fromLocalFile(chosen));
    QMetaObject::invokeMethod(dialog, "accepted");
    h.settle();
    EXPECT_TRUE(QFileInfo::exists(chosen));
    EXPECT_FALSE(QFileInfo::exists(offered));
    EXPECT_TRUE(h.showsText(QStringLiteral("Saved to ") + chosen));
}

// A keyring that cannot be read stops the migration on the readiness screen, and
// both ways past it are taken there: unlocked then checked again, or left out.
TEST(Screens, AnUnreadableKeyringBlocksUntilUnlockedOrLeftOut)
{
    QTemporaryDir home;
    GuiHarness h(environmentIn(home.path()));
    const auto problem = std::make_shared<QString>(kLocked);
    readinessWithKeyring(h, problem);
    const auto keychainSelected = [&] {
        return std::ranges::any_of(h.state().categoryManager()->selectedCategories(),
                                   [](const DataCategory& c) { return c.id == QLatin1String("keychain"); });
    };
    ASSERT_TRUE(keychainSelected());
    EXPECT_EQ(h.state().preflightChecker()->blockers(), QStringList{kKeyringLocked});
    EXPECT_FALSE(h.press(QStringLiteral("Start Migration")));

    problem->clear(); // unlocked outside kivo
    ASSERT_TRUE(h.press(QStringLiteral("Check Again")));
    ASSERT_TRUE(checksDone(h));
    EXPECT_TRUE(h.showsText(QStringLiteral("Passwords and Keys can be read")));
    EXPECT_FALSE(h.showsText(kKeyringLocked));
    EXPECT_FALSE(h.showsText(QStringLiteral("Leave Passwords and Keys Out")));
    EXPECT_TRUE(keychainSelected());

    *problem = kLocked;
    h.state().checkReadiness();
    ASSERT_TRUE(checksDone(h));
    ASSERT_TRUE(h.press(QStringLiteral("Leave Passwords and Keys Out")));
    ASSERT_TRUE(checksDone(h));
    EXPECT_FALSE(keychainSelected());
    EXPECT_TRUE(h.state().preflightChecker()->blockers().isEmpty());
    EXPECT_FALSE(h.showsText(QStringLiteral("Passwords and Keys can be read"))) << "not checked, as not sent";
    EXPECT_FALSE(h.showsText(QStringLiteral("Check Again")));
    EXPECT_TRUE(h.press(QStringLiteral("Start Migration")));
    EXPECT_EQ(h.state().currentStep(), MigrationStep::preflightSummary);
}

// "Start Migration" waits for the checks: while they run (here held on the keyring's
// answer) the screen says so and the button does nothing, however quick the click.
TEST(Screens, StartMigrationWaitsForTheChecks)
{
    QTemporaryDir home;
    GuiHarness h(environmentIn(home.path()));
    HeldKeyringAnswer answer;
    h.state().preflightChecker()->setEnvironment(answer.environment());
    at(h, DeviceRole::source, MigrationStep::userMapping);
    h.state().confirmProposedUserMapping();
    waitUntil([&] { return !h.state().calculatingSizes() && !h.state().scanningFolders(); });
    h.state().goToNext();
    h.settle();
    ASSERT_EQ(h.state().currentStep(), MigrationStep::preflight);
    ASSERT_TRUE(h.state().preflightChecker()->isRunning());
    EXPECT_TRUE(h.showsText(QStringLiteral("Running checks…")));
    h.screenshot(QStringLiteral("preflight-running"));
    EXPECT_FALSE(h.press(QStringLiteral("Start Migration")));
    EXPECT_EQ(h.state().currentStep(), MigrationStep::preflight);

    answer.release();
    ASSERT_TRUE(checksDone(h));
    EXPECT_FALSE(h.showsText(QStringLiteral("Running checks…")));
    EXPECT_TRUE(h.showsText(QStringLiteral("Passwords and Keys can be read")));
    EXPECT_TRUE(h.press(QStringLiteral("Start Migration")));
    EXPECT_EQ(h.state().currentStep(), MigrationStep::preflightSummary);
}

// A Mac-shaped home names its keychain "Keychain": its line, its finding and the way out say so.
TEST(Screens, AMacShapedHomeNamesItsKeychain)
{
    QTemporaryDir home;
    SessionEnvironment environment = environmentIn(home.path());
    environment.layout = QStringLiteral("macos");
    GuiHarness h(environment);
    readinessWithKeyring(h, std::make_shared<QString>(kLocked));
    for (const QString& text :
         {QStringLiteral("Keychain can be read"), QStringLiteral("Leave Keychain Out"),
          QStringLiteral("Keychain cannot be read on this computer: the keyring's default collection \"Login\" is "
                         "locked. Unlock the keyring and check again, or leave Keychain out.")})
        EXPECT_TRUE(h.showsText(text)) << text.toStdString();
    EXPECT_FALSE(h.showsText(QStringLiteral("Passwords and Keys can be read")));
}

// Without service discovery the source says where it can be reached, and the
// destination's window connects there as to a listed source: what is not an
// address is refused, the code is asked for next, and both sides pair.
TEST(Screens, WithoutServiceDiscoveryTheDestinationConnectsByAddress)
{
    const NoDiscoveryDaemon noDaemon;
    QTemporaryDir sourceHome, destinationHome;
    AppState source(environmentIn(sourceHome.path()));
    source.setCurrentStep(MigrationStep::roleSelection);
    source.chooseRole(DeviceRole::source);
    const quint16 port = source.connectionManager()->listeningPort();
    ASSERT_NE(port, 0);
    const QString notice = source.discoveryNotice();
    EXPECT_TRUE(notice.startsWith(QStringLiteral("This computer cannot be found on the network: ")
                                  + QString::fromLatin1(NoDiscoveryDaemon::kReason)
                                  + QStringLiteral(". On the destination computer, connect by address instead: ")))
        << notice.toStdString();
    EXPECT_TRUE(notice.contains(QStringLiteral(":%1").arg(port))) << notice.toStdString();

    GuiHarness h(environmentIn(destinationHome.path()));
    at(h, std::nullopt, MigrationStep::roleSelection);
    h.state().chooseRole(DeviceRole::destination);
    QAccessibleInterface* field = h.accessible(QStringLiteral("Source address"));
    ASSERT_NE(field, nullptr);
    const auto type = [&](const QString& text) {
        qobject_cast<QQuickItem*>(field->object())->forceActiveFocus();
        h.key(Qt::Key_A, Qt::ControlModifier);
        for (const QChar c : text)
            QTest::keyClick(h.window(), c.toLatin1());
        h.key(Qt::Key_Return);
    };
    type(QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(h.showsText(QStringLiteral("Add the port after the address, like 192.168.1.20:47011.")));
    EXPECT_EQ(h.state().currentStep(), MigrationStep::discovery);

    type(QStringLiteral("127.0.0.1:%1").arg(port));
    ASSERT_TRUE(h.waitForStep(MigrationStep::pairing));
    EXPECT_TRUE(h.showsText(QStringLiteral("Connecting to 127.0.0.1")));
    typeCode(h, source.pairingCodeText());
    EXPECT_TRUE(h.waitForStep(MigrationStep::userMapping));
    EXPECT_TRUE(waitUntil([&] { return source.currentStep() == MigrationStep::userMapping; }));
}
