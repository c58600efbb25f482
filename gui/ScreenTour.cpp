// SPDX-License-Identifier: Apache-2.0
#include "gui/ScreenTour.h"

#include "app/AppState.h"
#include "app/DemoData.h"
#include "app/ManagedModeCoordinator.h"
#include "app/ReinstallOffer.h"
#include "categories/KeychainHandler.h"
#include "connection/ConnectionManager.h"
#include "connection/PairingManager.h"
#include "gui/KivoGui.h"
#include "gui/ProgressFeed.h"
#include "platform/Clock.h"
#include "postmigration/UserAccountMapper.h"
#include "preflight/AppCompatibilityManager.h"
#include "preflight/PreflightChecker.h"
#include "transfer/ResumeState.h"
#include "transfer/TransferEngine.h"
#include "transfer/TransferProgress.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QStandardPaths>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <functional>

namespace kivo::gui {

namespace {

constexpr auto kSourceHost = "old-computer";
constexpr auto kDestinationHost = "new-computer";
constexpr auto kUser = "sam";

// Warnings of Qt and of the screens while the tour runs; the program's own log lines are not among them.
QStringList* g_problems = nullptr;
QtMessageHandler g_previous = nullptr;

void keepWarning(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QLatin1String category(context.category ? context.category : "");
    if (g_problems && type >= QtWarningMsg && !category.startsWith(QLatin1String("com.kivo.")))
        g_problems->append(message);
    if (g_previous)
        g_previous(type, context, message);
}

// Time that moves only when told: a replayed transfer's speed and time left
// come out of its samples as they would from a live one.
class ReplayClock : public Clock {
public:
    QDateTime now() const override { return m_now; }
    std::chrono::nanoseconds monotonic() const override { return std::chrono::milliseconds(m_start.msecsTo(m_now)); }
    QCoro::Task<void> sleepFor(std::chrono::nanoseconds duration) override { return Clock::system()->sleepFor(duration); }
    std::unique_ptr<QObject> schedule(std::chrono::milliseconds delay, std::function<void()> fn) override
    {
        return Clock::system()->schedule(delay, std::move(fn));
    }
    void advance(qint64 ms) { m_now = m_now.addMSecs(ms); }

private:
    QDateTime m_start = QDateTime::currentDateTimeUtc();
    QDateTime m_now = m_start;
};

// One session with its window, as a screen is reached.
class Stop {
public:
    Stop(const QString& home, const QString& profile, const QString& hostname, QSize size, QStringList& problems)
        : m_problems(problems)
    {
        SessionEnvironment environment{.homeFolder = home, .hostname = hostname, .username = QString::fromLatin1(kUser),
                                       .profilePath = profile};
        m_state = std::make_unique<AppState>(environment);
        m_feed = std::make_unique<ProgressFeed>(m_state.get(), Clock::system());
        QObject::connect(&m_engine, &QQmlEngine::warnings, &m_engine, [&problems](const QList<QQmlError>& errors) {
            for (const QQmlError& e : errors)
                problems << e.toString();
        });
        m_window = loadMainWindow(m_engine, m_state.get(), m_feed.get());
        if (!m_window)
            return;
        m_window->resize(size);
        m_window->show();
        settle();
    }
    ~Stop()
    {
        if (m_window)
            m_window->close();
    }

    AppState& state() { return *m_state; }
    ReinstallOffer* offer() const
    {
        return qobject_cast<ReinstallOffer*>(m_engine.rootContext()->contextProperty(QStringLiteral("reinstallOffer")).value<QObject*>());
    }
    QQuickWindow* window() const { return m_window; }

    void settle()
    {
        for (int i = 0; i < 5; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }
    // Scans and checks run on their own; the picture waits for them, within reason.
    void waitFor(const std::function<bool()>& done)
    {
        const QDeadlineTimer deadline(30000);
        while (!done() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
        settle();
    }
    // The progress figures are published a few times a second: the picture waits for the latest.
    void linger(int ms)
    {
        const QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
        settle();
    }
    // Calls a function of the screen item of that objectName (a sheet's opener).
    void call(const char* objectName, const char* method)
    {
        if (!invoke(objectName, method))
            m_problems << QStringLiteral("no %1.%2() to call").arg(QLatin1String(objectName), QLatin1String(method));
        settle();
    }
    bool invoke(const char* objectName, const char* method)
    {
        // Loaded screens are children of their loader as items, not as objects.
        QList<QQuickItem*> pending{m_window->contentItem()};
        while (!pending.isEmpty()) {
            QQuickItem* item = pending.takeFirst();
            if (item->objectName() == QLatin1String(objectName))
                return QMetaObject::invokeMethod(item, method);
            pending += item->childItems();
        }
        return false;
    }
    bool save(const QString& file)
    {
        settle();
        return m_window->grabWindow().save(file);
    }

private:
    QStringList& m_problems;
    std::unique_ptr<AppState> m_state;
    std::unique_ptr<ProgressFeed> m_feed;
    QQmlApplicationEngine m_engine;
    QQuickWindow* m_window = nullptr;
};

void at(Stop& s, std::optional<DeviceRole> role, MigrationStep step)
{
    s.state().setDeviceRole(role);
    s.state().setCurrentStep(step);
}

// Sam's other machine as discovery would list it.
DiscoveredPeer peerNamed(const char* host, const QString& address)
{
    DiscoveredPeer peer = peerForAddress(address, 47011, std::nullopt);
    peer.hostname = QString::fromLatin1(host);
    peer.username = QString::fromLatin1(kUser);
    peer.id = peer.hostname + QStringLiteral("_wifi");
    return peer;
}

DiscoveredPeer sourcePeer() { return peerNamed(kSourceHost, QStringLiteral("192.0.2.10")); }
DiscoveredPeer destinationPeer() { return peerNamed(kDestinationHost, QStringLiteral("192.0.2.20")); }

// Service discovery fails as on a machine without its daemon: the client
// library reaches the daemon over the system bus, which goes nowhere here.
class NoDiscoveryDaemon {
public:
    NoDiscoveryDaemon() { qputenv(kBus, "unix:path=/nonexistent/kivo-tour/system_bus_socket"); }
    ~NoDiscoveryDaemon()
    {
        if (m_wasSet)
            qputenv(kBus, m_saved);
        else
            qunsetenv(kBus);
    }
    NoDiscoveryDaemon(const NoDiscoveryDaemon&) = delete;
    NoDiscoveryDaemon& operator=(const NoDiscoveryDaemon&) = delete;

private:
    static constexpr char kBus[] = "DBUS_SYSTEM_BUS_ADDRESS";
    QByteArray m_saved = qgetenv(kBus);
    bool m_wasSet = qEnvironmentVariableIsSet(kBus);
};

// The role chosen on a machine without service discovery: the source listens
// for a connection by address, the destination offers to make one.
void withoutDiscovery(Stop& s, DeviceRole role)
{
    const NoDiscoveryDaemon none;
    at(s, std::nullopt, MigrationStep::roleSelection);
    s.state().chooseRole(role);
}

void destination(Stop& s, MigrationStep step)
{
    s.state().setSelectedPeer(sourcePeer());
    s.state().connectionManager()->setActiveTransport(TransportType::wifi);
    at(s, DeviceRole::destination, step);
}

// This machine's people as the picker lists them; the served home is Sam's.
void people(Stop& s)
{
    UserAccount sam;
    sam.username = QString::fromLatin1(kUser);
    sam.fullName = QStringLiteral("Sam Rivera");
    sam.homeFolder = s.state().environment().homeFolder;
    sam.isCurrentUser = true;
    sam.isEncrypted = true;
    UserAccount alex;
    alex.username = QStringLiteral("alex");
    alex.fullName = QStringLiteral("Alex Morgan");
    alex.homeFolder = QStringLiteral("/home/alex");
    alex.hasFiles = true;
    s.state().userMapper()->setAccounts({sam, alex});
}

void selection(Stop& s)
{
    at(s, DeviceRole::source, MigrationStep::userMapping);
    s.state().confirmProposedUserMapping();
    s.waitFor([&] {
        return !s.state().calculatingSizes() && !s.state().scanningFolders() && !s.state().appCompatibility()->isScanning()
            && !s.state().appCompatibility()->entries().isEmpty();
    });
}

// A transfer of the sample some way in, replayed sample by sample.
void midTransfer(Stop& s, std::optional<DeviceRole> role, const std::shared_ptr<ReplayClock>& clock)
{
    TransferProgress& p = *s.state().transferProgress();
    p.setClock(clock);
    const std::uint64_t total = 2'400'000'000;
    p.setTotalFiles(DemoData::kDemoFiles);
    p.setTotalBytes(total);
    p.setIsTransferring(true);
    p.setStartedAt(clock->now());
    p.setCurrentCategoryName(QStringLiteral("User Files"));
    // Long enough for the speed to be measured over its whole window.
    for (int second = 1; second <= 40; ++second) {
        clock->advance(1000);
        p.recordProgress(std::uint64_t(second) * 21'000'000);
        p.setFilesCompleted(second);
    }
    p.setCurrentFilePath(QStringLiteral("~/Documents/Projects/Garden plan/Site photos/2024-05-18 north bed.jpg"));
    s.state().setDeviceRole(role);
    s.state().setCurrentStep(MigrationStep::progress);
    s.linger(int(ProgressFeed::kMinInterval.count()) + 100);
}

// `outcome` has the last word before the complete screen shows.
void finished(Stop& s, DeviceRole role, const std::shared_ptr<ReplayClock>& clock,
              const std::function<void()>& outcome = {})
{
    // The peer as pairing names it: the source listed, the destination as it said.
    s.state().setSelectedPeer(role == DeviceRole::destination ? sourcePeer() : destinationPeer());
    s.state().connectionManager()->setActiveTransport(TransportType::wifi);
    midTransfer(s, role, clock);
    TransferProgress& p = *s.state().transferProgress();
    clock->advance(26'000);
    p.setBytesTransferred(p.totalBytes());
    p.setFilesCompleted(p.totalFiles());
    p.setVerificationFilesChecked(p.totalFiles() - 2);
    p.setVerificationFilesSkipped(2);
    p.setIsTransferring(false);
    p.setIsComplete(true);
    p.setCompletedAt(clock->now());
    if (outcome)
        outcome();
    s.state().setCurrentStep(MigrationStep::complete);
}

// The same, but the destination could not import the keyring's export: each side says so as it would.
void keyringNotImported(Stop& s, DeviceRole role, const std::shared_ptr<ReplayClock>& clock)
{
    finished(s, role, clock, [&s, role] {
        AppState& state = s.state();
        TransferSummary summary = TransferSummary::of(role, *state.transferProgress(), std::nullopt);
        summary.filesCompleted -= 1;
        summary.failed += 1;
        summary.verified -= 1;
        const QString keychain = QStringLiteral("keychain");
        const QString reason = QStringLiteral("The keyring's default collection \"Login\" is locked");
        summary.categoryFailures = role == DeviceRole::source
            ? state.categoryFailures()
            : QList<CategoryFailure>{{keychain, HomeLayout::of(state.homeLayout()).displayNameFor(keychain),
                                      KeychainHandler::notImportedText(reason), true, 1}};
        state.setTransferSummary(std::move(summary));
    });
}

// The readiness checks over the selection, which holds the keychain. The keyring
// answers as told, not as this machine's would: locked, or (empty) readable.
void readiness(Stop& s, const QString& keyringReason)
{
    CheckEnvironment environment = CheckEnvironment::fromProcess();
    environment.keychainProblem = [keyringReason](HomeLayoutKind layout) {
        return keyringReason.isEmpty() ? QString()
                                       : KeychainHandler::unreadableText(keyringReason, layout, KeychainAdvice::desktopApp);
    };
    s.state().preflightChecker()->setEnvironment(std::move(environment));
    selection(s);
    s.state().goToNext();
    s.waitFor([&] { return s.state().preflightChecker()->hasRun() && !s.state().preflightChecker()->isRunning(); });
}

struct TourStop {
    const char* view;
    const char* role;
    std::function<void(Stop&)> reach;
};

// The screens before anything is sent.
QList<TourStop> settingUpStops()
{
    const auto source = [](MigrationStep step) { return [step](Stop& s) { at(s, DeviceRole::source, step); }; };
    return {
        {"welcome", "any", [](Stop&) {}},
        {"role", "any", [](Stop& s) { at(s, std::nullopt, MigrationStep::roleSelection); }},
        {"discovery", "source", source(MigrationStep::discovery)},
        {"discovery", "destination", [](Stop& s) { at(s, DeviceRole::destination, MigrationStep::discovery); }},
        {"peers", "destination",
         [](Stop& s) {
             s.state().addDirectPeer(sourcePeer());
             at(s, DeviceRole::destination, MigrationStep::discovery);
         }},
        {"discovery-failed", "source", [](Stop& s) { withoutDiscovery(s, DeviceRole::source); }},
        {"discovery-failed", "destination", [](Stop& s) { withoutDiscovery(s, DeviceRole::destination); }},
        {"pairing", "source",
         [](Stop& s) {
             s.state().setPairingCode(s.state().connectionManager()->pairingManager()->generateSession().code);
             at(s, DeviceRole::source, MigrationStep::pairing);
         }},
        {"pairing", "destination", [](Stop& s) { destination(s, MigrationStep::pairing); }},
        {"mapping", "source",
         [](Stop& s) {
             people(s);
             at(s, DeviceRole::source, MigrationStep::userMapping);
         }},
        {"mapping", "destination",
         [](Stop& s) {
             people(s);
             destination(s, MigrationStep::userMapping);
         }},
        {"categories", "source", selection},
        {"folders", "source",
         [](Stop& s) {
             selection(s);
             s.call("manifestView", "openFolderPicker");
         }},
        {"preflight", "source", [](Stop& s) { readiness(s, {}); }},
        {"preflight-keyring-locked", "source",
         [](Stop& s) { readiness(s, QStringLiteral("The keyring's default collection \"Login\" is locked")); }},
        {"review", "source",
         [](Stop& s) {
             selection(s);
             at(s, DeviceRole::source, MigrationStep::preflightSummary);
             s.waitFor([&] { return s.state().preFlightReport() && !s.state().preFlightScanRunning(); });
         }},
    };
}

// The transfer, its outcome, the sheets the outcome opens, and an organisation's unattended run.
QList<TourStop> sendingStops(const std::shared_ptr<ReplayClock>& clock)
{
    return {
        {"transfer", "source", [clock](Stop& s) { midTransfer(s, DeviceRole::source, clock); }},
        {"transfer", "destination",
         [clock](Stop& s) {
             s.state().setSelectedPeer(sourcePeer());
             midTransfer(s, DeviceRole::destination, clock);
         }},
        {"complete", "source", [clock](Stop& s) { finished(s, DeviceRole::source, clock); }},
        {"complete", "destination", [clock](Stop& s) { finished(s, DeviceRole::destination, clock); }},
        {"complete-not-imported", "source", [clock](Stop& s) { keyringNotImported(s, DeviceRole::source, clock); }},
        {"complete-not-imported", "destination", [clock](Stop& s) { keyringNotImported(s, DeviceRole::destination, clock); }},
        {"apps", "destination",
         [clock](Stop& s) {
             finished(s, DeviceRole::destination, clock);
             s.waitFor([&] { return s.offer() && !s.offer()->loading() && s.offer()->available(); });
             s.call("completeView", "showApps");
         }},
        {"log", "source",
         [clock](Stop& s) {
             // The log names both machines from this one's role and its peer.
             s.state().setSelectedPeer(destinationPeer());
             s.state().setDeviceRole(DeviceRole::source);
             s.state().startMigrationLog(); // the complete screen closes it
             finished(s, DeviceRole::source, clock);
             s.call("completeView", "openLog");
         }},
        {"staged", "destination",
         [clock](Stop& s) {
             finished(s, DeviceRole::destination, clock);
             s.call("completeView", "openStaged");
         }},
        {"managed", "any",
         [](Stop& s) {
             ManagedDeploymentConfig config;
             config.deploymentMode = DeploymentMode::managed;
             config.userPrincipal = QStringLiteral("sam@example.org");
             s.state().setManagedCoordinator(new ManagedModeCoordinator(std::move(config), s.state(), {}, &s.state()));
         }},
    };
}

QList<TourStop> stops(const std::shared_ptr<ReplayClock>& clock)
{
    return settingUpStops() + sendingStops(clock);
}

// The welcome screen offers what an interrupted run left.
void leaveCheckpoint(const QString& home)
{
    ResumeState state;
    state.transferID = QStringLiteral("5d0c4bde-2f6a-4c57-9d1e-6a0f3f0c2b11");
    state.sourceHostname = QString::fromLatin1(kSourceHost);
    state.createdAt = QDateTime::currentDateTimeUtc().addSecs(-3600);
    state.updatedAt = state.createdAt.addSecs(900);
    state.markCompleted(QStringLiteral("Documents/notes.txt"));
    state.markCompleted(QStringLiteral("Pictures/cat.jpg"));
    state.save(TransferEngine::transfersDirectory(home));
}

// What a source's package tools listed. The tools here answer as on a machine
// with none of it installed yet: the pictures do not depend on this machine.
void sampleReinstallList(const QString& home)
{
    const QString nothing = QStandardPaths::findExecutable(QStringLiteral("true"));
    for (const char* tool : {"KIVO_FLATPAK", "KIVO_SNAP", "KIVO_APT_GET"})
        qputenv(tool, nothing.toUtf8());
    qputenv("KIVO_DPKG_QUERY", QByteArray());
    const auto flatpak = [](const char* id) {
        return ReinstallEntry{ReinstallEntry::Kind::flatpak, QString::fromLatin1(id), QStringLiteral("stable"),
                              QStringLiteral("user"), QStringLiteral("flathub"), QStringLiteral("https://dl.flathub.org/repo/"),
                              {}, false};
    };
    ReinstallList list;
    list.entries = {flatpak("org.gimp.GIMP"), flatpak("org.mozilla.Thunderbird"), flatpak("org.inkscape.Inkscape"),
                    {ReinstallEntry::Kind::snap, QStringLiteral("spotify"), {}, {}, {}, {}, {}, false},
                    {ReinstallEntry::Kind::apt, QStringLiteral("keepassxc"), {}, {}, {}, {}, {}, false}};
    const QString path = reinstallListPath(home);
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(list.toJson()) < 0)
        throw std::runtime_error("cannot write the sample list of applications");
}

// Settings of two apps this machine does not have: the selection screen asks what becomes of them.
void sampleMissingApps(const QString& home)
{
    for (const auto& [path, size] : {std::pair{"/.config/GIMP/2.10/gimprc", 180'000}, {"/.config/inkscape/preferences.xml", 64'000}}) {
        const QString file = home + QLatin1String(path);
        QDir().mkpath(QFileInfo(file).path());
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray(size, '#')) < 0)
            throw std::runtime_error("cannot write the sample application data");
    }
}

} // namespace

TourResult takeScreenshots(const QString& folder, QSize size)
{
    TourResult result;
    QTemporaryDir work;
    if (!work.isValid() || !QDir().mkpath(folder)) {
        result.problems << QStringLiteral("cannot write to %1").arg(folder);
        return result;
    }
    const QString sourceHome = work.filePath(QStringLiteral("source-home"));
    const QString destinationHome = work.filePath(QStringLiteral("destination-home"));
    const QString resumeHome = work.filePath(QStringLiteral("resume-home"));
    // An empty profile: what the machine's own profile says must not change the pictures.
    const QString profile = work.filePath(QStringLiteral("profile.plist"));
    try {
        DemoData::buildSampleHome(sourceHome, DemoData::kDemoFiles, DemoData::kDemoSeed);
        sampleMissingApps(sourceHome);
        QDir().mkpath(destinationHome);
        sampleReinstallList(destinationHome);
        leaveCheckpoint(resumeHome);
        QFile f(profile);
        if (!f.open(QIODevice::WriteOnly)
            || f.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict/></plist>") < 0)
            throw std::runtime_error("cannot write the empty profile");
    } catch (const std::exception& e) {
        result.problems << QStringLiteral("cannot prepare the sample: %1").arg(QString::fromUtf8(e.what()));
        return result;
    }

    g_problems = &result.problems;
    g_previous = qInstallMessageHandler(keepWarning);
    auto clock = std::make_shared<ReplayClock>();
    QList<TourStop> tour = stops(clock);
    tour.insert(1, {"resume", "any", [](Stop&) {}});
    for (const TourStop& t : tour) {
        const QString role = QString::fromLatin1(t.role);
        const bool resume = qstrcmp(t.view, "resume") == 0;
        const QString home = resume ? resumeHome : role == QLatin1String("destination") ? destinationHome : sourceHome;
        const QString host = QString::fromLatin1(role == QLatin1String("destination") ? kDestinationHost : kSourceHost);
        const QString file = QStringLiteral("%1/%2-%3.png").arg(folder, QLatin1String(t.view), role);
        Stop stop(home, profile, host, size, result.problems);
        if (!stop.window()) {
            result.problems << QStringLiteral("%1: the main window did not load").arg(file);
            break;
        }
        t.reach(stop);
        if (stop.save(file))
            result.written << file;
        else
            result.problems << QStringLiteral("%1: not written").arg(file);
    }
    qInstallMessageHandler(g_previous);
    g_problems = nullptr;
    result.problems.removeDuplicates();
    return result;
}

} // namespace kivo::gui
