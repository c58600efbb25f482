// SPDX-License-Identifier: Apache-2.0
#include "cli/DemoCommand.h"

#include "app/DemoData.h"
#include "app/DemoLinuxHome.h"
#include "app/DemoSession.h"
#include "categories/BrowserSecrets.h"
#include "cli/DemoProofs.h"
#include "cli/Reporter.h"
#include "platform/ByteCount.h"
#include "platform/Dconf.h"
#include "platform/Error.h"
#include "platform/HostNames.h"
#include "platform/Interrupts.h"
#include "platform/SecretTool.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <map>

namespace kivo::cli {

namespace {

constexpr quint32 kDemoSeed = DemoData::kDemoSeed;
constexpr int kDemoTimeoutMs = 5 * 60 * 1000;
constexpr char kKeyringPassword[] = "kivo-demo";
const QStringList kDemoCategories{QStringLiteral("userFiles"), QStringLiteral("systemSettings"),
                                  QStringLiteral("applicationData"), QStringLiteral("browserData"),
                                  QStringLiteral("keychain")};

// Where Chromium keeps its Safe Storage secret.
secretTool::Attributes safeStorageItem()
{
    return {{QStringLiteral("xdg:schema"), QString::fromLatin1(browserSecrets::kSchema)},
            {QStringLiteral("application"), QString::fromLatin1(DemoLinuxHome::kBrowserApplication)}};
}

secretTool::Attributes mailItem()
{
    return {{QStringLiteral("xdg:schema"), QStringLiteral("org.gnome.keyring.NetworkPassword")},
            {QStringLiteral("server"), QString::fromLatin1(DemoLinuxHome::kMailServer)},
            {QStringLiteral("user"), QString::fromLatin1(DemoLinuxHome::kMailUser)},
            {QStringLiteral("protocol"), QStringLiteral("imap")}};
}

// Relative path -> (sha256, mode) of every regular file below `root`.
std::map<QString, QPair<QByteArray, int>> fingerprint(const QString& root)
{
    std::map<QString, QPair<QByteArray, int>> out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (file.open(QIODevice::ReadOnly))
            hash.addData(&file);
        out[path.mid(root.size())] = {hash.result(), int(file.permissions())};
    }
    return out;
}

struct Child {
    QProcess process;
    QByteArray pending;
    QList<QJsonObject> events;
};

// Splits a child's stdout into JSON events as they arrive.
void collectEvents(Child& child, const std::function<void(const QJsonObject&)>& onEvent)
{
    QObject::connect(&child.process, &QProcess::readyReadStandardOutput, &child.process, [&child, onEvent] {
        child.pending += child.process.readAllStandardOutput();
        qsizetype newline;
        while ((newline = child.pending.indexOf('\n')) >= 0) {
            const QJsonObject event = QJsonDocument::fromJson(child.pending.left(newline)).object();
            child.pending.remove(0, newline + 1);
            if (event.isEmpty())
                continue;
            child.events.append(event);
            onEvent(event);
        }
    });
}

// The receiver's events worth showing beside the demo's own lines.
void showReceiverEvent(Reporter& out, const QJsonObject& e)
{
    const QString name = e.value(QStringLiteral("event")).toString();
    if (name == QLatin1String("progress")) {
        ProgressSnapshot p;
        p.bytes = static_cast<std::uint64_t>(e.value(QStringLiteral("bytes")).toDouble());
        p.totalBytes = static_cast<std::uint64_t>(e.value(QStringLiteral("totalBytes")).toDouble());
        p.files = e.value(QStringLiteral("files")).toInt();
        p.totalFiles = e.value(QStringLiteral("totalFiles")).toInt();
        p.bytesPerSecond = e.value(QStringLiteral("bytesPerSecond")).toDouble();
        p.currentFile = e.value(QStringLiteral("currentFile")).toString();
        p.verifying = e.value(QStringLiteral("verifying")).toBool();
        out.progress(p);
    } else if (name == QLatin1String("paired")) {
        out.event(name, {}, QStringLiteral("Paired with %1").arg(e.value(QStringLiteral("peer")).toString()));
    } else if (name == QLatin1String("fileError")) {
        out.event(name, {}, QStringLiteral("  ! %1: %2").arg(e.value(QStringLiteral("path")).toString(),
                                                            e.value(QStringLiteral("error")).toString()));
    }
}

// Written into a workdir the demonstration has made its own; only there does it clear its folders.
const QString kWorkdirMark = QStringLiteral(".kivo-demo");
const QStringList kDemoFolders{QStringLiteral("source-home"), QStringLiteral("destination-home"),
                               QStringLiteral("source-machine"), QStringLiteral("destination-machine")};

struct DemoHomes {
    QString source;
    QString destination;
    QString sourceMachine;      // what is installed on the old machine, outside its home
    QString destinationMachine;
    QString runtime;            // holds no login session: the buses are always private ones
};

DemoHomes prepareHomes(const DemoOptions& options)
{
    const QString w = options.workdir;
    const DemoHomes homes{w + QStringLiteral("/source-home"), w + QStringLiteral("/destination-home"),
                          w + QStringLiteral("/source-machine"), w + QStringLiteral("/destination-machine"),
                          w + QStringLiteral("/run")};
    std::printf("kivo demo: migrating a sample Linux home between two local kivo processes\n");
    QDir().mkpath(w);
    QFile mark(w + u'/' + kWorkdirMark);
    if (!mark.open(QIODevice::WriteOnly) || mark.write("kivo demo workdir\n") < 0)
        throw SystemError(QStringLiteral("cannot write %1: %2").arg(mark.fileName(), mark.errorString()));
    // Rebuilt every time: a home left by an earlier run holds the keyring and settings of its sessions.
    for (const QString& folder : {homes.source, homes.destination, homes.sourceMachine, homes.destinationMachine})
        QDir(folder).removeRecursively();
    const DemoData::Summary sample =
        DemoData::buildSampleHome(homes.source, options.files, kDemoSeed, DemoData::Contents::linuxHome);
    DemoLinuxHome::installPackage(homes.sourceMachine + QStringLiteral("/share"));
    QDir().mkpath(homes.destination);
    QDir().mkpath(homes.destinationMachine + QStringLiteral("/share"));
    DemoLinuxHome::installFlatpak(homes.destination);
    std::printf("  source       %s (%d files, %s: user folders, settings, a Chromium profile, %s's data)\n",
                qPrintable(homes.source), sample.files, qPrintable(formatFileSize(sample.bytes)), DemoLinuxHome::kAppName);
    std::printf("  destination  %s (no files yet; %s installed as the account's Flatpak)\n",
                qPrintable(homes.destination), DemoLinuxHome::kAppName);
    std::fflush(stdout);
    return homes;
}

struct Sessions {
    std::unique_ptr<DemoSession> source;
    std::unique_ptr<DemoSession> destination;
};

// A private bus and keyring per side; the browser's Safe Storage secret in the source's.
Sessions startSessions(const DemoHomes& homes)
{
    Sessions s;
    s.source = std::make_unique<DemoSession>(homes.source, homes.runtime, kKeyringPassword);
    s.destination = std::make_unique<DemoSession>(homes.destination, homes.runtime, kKeyringPassword);
    secretTool::store(QStringLiteral("Chromium Safe Storage"), safeStorageItem(),
                      DemoLinuxHome::safeStorageSecret(kDemoSeed), s.source->client());
    secretTool::store(QStringLiteral("Mail server"), mailItem(), DemoLinuxHome::kMailPassword, s.source->client());
    std::printf("  sessions     a private session bus per side, with its own keyring and a settings service\n"
                "               writing into that home; the source's keyring holds Chromium's Safe Storage\n"
                "               secret and a mail password (the caller's own bus and keyring are never used)\n\n");
    std::fflush(stdout);
    return s;
}

// A side's kivo-cli: its session, and its machine's installed applications.
QProcessEnvironment sideEnvironment(const DemoSession& session, const QString& machine)
{
    QProcessEnvironment env = session.environment(QProcessEnvironment::systemEnvironment());
    env.insert(QStringLiteral("XDG_DATA_DIRS"), machine + QStringLiteral("/share"));
    env.insert(QStringLiteral("KIVO_FLATPAK_SYSTEM_DIR"), machine + QStringLiteral("/flatpak"));
    env.insert(QStringLiteral("KIVO_SNAP_DIR"), machine + QStringLiteral("/snap"));
    // The sample machines have no package tools: the reinstall list never describes this machine.
    for (const char* tool : {"FLATPAK", "SNAP", "APT_GET", "APT_MARK", "DPKG_QUERY"})
        env.insert(QStringLiteral("KIVO_") + QLatin1String(tool), machine + QStringLiteral("/bin/") + QLatin1String(tool).toString().toLower());
    return env;
}

// Starts the sender, then the receiver once the sender shows its port and code;
// false when they did not both finish in time or the demo was interrupted.
bool runBoth(const DemoHomes& homes, const Sessions& sessions, Reporter& out, Child& sender, Child& receiver,
             const InterruptNotifier& interrupts)
{
    const QString self = QCoreApplication::applicationFilePath();
    QEventLoop loop;
    int exits = 0;
    bool receiverStarted = false;

    collectEvents(receiver, [&out](const QJsonObject& e) { showReceiverEvent(out, e); });
    collectEvents(sender, [&](const QJsonObject& e) {
        if (e.value(QStringLiteral("event")).toString() != QLatin1String("advertising") || receiverStarted)
            return;
        receiverStarted = true;
        const QString code = e.value(QStringLiteral("code")).toString();
        const int port = e.value(QStringLiteral("port")).toInt();
        out.event(QStringLiteral("advertising"), {},
                  QStringLiteral("Source listening on port %1, pairing code %2").arg(port).arg(code));
        receiver.process.start(self, {QStringLiteral("receive"), QStringLiteral("--home"), homes.destination,
                                      QStringLiteral("--connect"), QStringLiteral("127.0.0.1:%1").arg(port),
                                      QStringLiteral("--code"), code, QStringLiteral("--json")});
    });

    auto finished = [&] {
        if (++exits == 2)
            loop.quit();
    };
    QObject::connect(&sender.process, &QProcess::finished, &loop, finished);
    QObject::connect(&receiver.process, &QProcess::finished, &loop, finished);
    QObject::connect(&sender.process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            loop.quit();
    });
    sender.process.setProcessChannelMode(QProcess::SeparateChannels);
    receiver.process.setProcessChannelMode(QProcess::SeparateChannels);
    sender.process.setProcessEnvironment(sideEnvironment(*sessions.source, homes.sourceMachine));
    receiver.process.setProcessEnvironment(sideEnvironment(*sessions.destination, homes.destinationMachine));
    sender.process.start(self, {QStringLiteral("send"), QStringLiteral("--home"), homes.source,
                                QStringLiteral("--categories"), kDemoCategories.join(u','),
                                QStringLiteral("--confirm-sensitive"),
                                QStringLiteral("--hostname"), QStringLiteral("demo-source"),
                                QStringLiteral("--username"), host::loginUserName(), QStringLiteral("--json")});
    QTimer::singleShot(kDemoTimeoutMs, &loop, &QEventLoop::quit);
    QObject::connect(&interrupts, &InterruptNotifier::interrupted, &loop, &QEventLoop::quit);
    if (!interrupts.wasInterrupted())
        loop.exec();

    if (sender.process.state() == QProcess::NotRunning && receiver.process.state() == QProcess::NotRunning)
        return true;
    for (Child* child : {&sender, &receiver}) {
        child->process.kill();
        child->process.waitForFinished(5000);
    }
    return false;
}

// Regular files of the source's user folders: missing or different on the destination.
void compareUserFolders(const DemoHomes& homes, DemoObservations& seen)
{
    for (const QString& folder : QDir(homes.source).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const auto expected = fingerprint(homes.source + u'/' + folder);
        const auto actual = fingerprint(homes.destination + u'/' + folder);
        seen.filesCompared += int(expected.size());
        for (const auto& [path, print] : expected) {
            const auto it = actual.find(path);
            if (it == actual.end())
                ++seen.filesMissing;
            else if (it->second != print)
                ++seen.filesDifferent;
        }
    }
}

std::optional<QByteArray> fileContents(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll(); // a few hundred bytes of the sample's own
}

// The destination as its own session sees it: settings through its settings
// service, the browser's secret from its keyring, files where its apps read them.
DemoObservations observe(const DemoHomes& homes, const DemoSession& destination)
{
    DemoObservations seen;
    compareUserFolders(homes, seen);
    const CommandOptions client = destination.client();
    seen.wallpaper = dconf::read(QString::fromLatin1(DemoLinuxHome::kWallpaperKey), client);
    seen.theme = dconf::read(QString::fromLatin1(DemoLinuxHome::kThemeKey), client);
    seen.deniedKey = dconf::read(QString::fromLatin1(DemoLinuxHome::kDeniedKey), client);
    if (const std::optional<QByteArray> secret = secretTool::lookup(safeStorageItem(), client)) {
        seen.secretInKeyring = true;
        const QByteArray key = browserSecrets::v11Key(*secret);
        const auto opened = [&](const char* database, const char* table, const char* column) -> std::optional<QByteArray> {
            try {
                const QList<QByteArray> values = DemoLinuxHome::readColumn(
                    homes.destination + u'/' + QString::fromUtf8(database), table, column);
                return values.isEmpty() ? std::nullopt : browserSecrets::decryptV11(values.first(), key);
            } catch (const std::exception&) {
                return std::nullopt;
            }
        };
        seen.password = opened(DemoLinuxHome::kLoginData, "logins", "password_value");
        seen.cookie = opened(DemoLinuxHome::kCookies, "cookies", "encrypted_value");
    }
    seen.mailPassword = secretTool::lookup(mailItem(), client);
    seen.appFileInFlatpak = fileContents(homes.destination + u'/' + QString::fromUtf8(DemoLinuxHome::kAppFileInFlatpak));
    seen.appFileAtPackagePlace = QFileInfo::exists(homes.destination + u'/' + QString::fromUtf8(DemoLinuxHome::kAppFile));
    return seen;
}

DemoExpectations expectations(const DemoHomes& homes)
{
    return {DemoLinuxHome::fileUri(homes.destination, QString::fromUtf8(DemoLinuxHome::kWallpaperFile)),
            QString::fromLatin1(DemoLinuxHome::kThemeValue), DemoLinuxHome::kSavedPassword, DemoLinuxHome::kCookieValue,
            fileContents(homes.source + u'/' + QString::fromUtf8(DemoLinuxHome::kAppFile)).value_or(QByteArray()),
            DemoLinuxHome::kMailPassword};
}
struct Arrival {
    QString name;
    int files = 0;
    std::uint64_t bytes = 0;
    int imported = 0; // and updated
};

// What the receiver says arrived, per category in the order it came.
QList<QPair<QString, Arrival>> arrivals(const Child& receiver)
{
    QList<QPair<QString, Arrival>> out;
    const auto entry = [&out](const QString& id) -> Arrival& {
        for (auto& [known, arrival] : out)
            if (known == id)
                return arrival;
        out.append({id, Arrival{id}});
        return out.last().second;
    };
    for (const QJsonObject& e : receiver.events) {
        const QString name = e.value(QStringLiteral("event")).toString();
        const QString id = e.value(QStringLiteral("category")).toString();
        if (name == QLatin1String("categoryStart"))
            entry(id).name = e.value(QStringLiteral("name")).toString();
        else if (name == QLatin1String("categoryComplete")) {
            entry(id).files = e.value(QStringLiteral("files")).toInt();
            entry(id).bytes = static_cast<std::uint64_t>(e.value(QStringLiteral("bytes")).toDouble());
        } else if (name == QLatin1String("categoryImported"))
            entry(id).imported = e.value(QStringLiteral("imported")).toInt() + e.value(QStringLiteral("updated")).toInt();
    }
    return out;
}

QString arrivalLine(const QString& id, const Arrival& a)
{
    QString line = (a.files == 1 ? QStringLiteral("1 file, %2") : QStringLiteral("%1 files, %2").arg(a.files))
                       .arg(formatFileSize(a.bytes));
    if (id == QLatin1String("systemSettings"))
        line += QStringLiteral("; %1 keys applied through the destination's own settings service").arg(a.imported);
    else if (id == QLatin1String("browserData") && a.imported > 0)
        line += QStringLiteral("; %1 Safe Storage secret into its keyring").arg(a.imported);
    else if (id == QLatin1String("keychain"))
        line += (a.imported == 1 ? QStringLiteral("; 1 item") : QStringLiteral("; %1 items").arg(a.imported))
                + QStringLiteral(" into the destination's keyring");
    return line;
}

void printProof(const DemoProof& proof)
{
    QString text = proof.text;
    text.replace(u'\n', QStringLiteral("\n      "));
    std::printf("    %s %s\n", proof.passed ? "✓" : "✗", qPrintable(text));
}

// Prints what arrived per category with its proofs; the proofs that failed.
QStringList reportProofs(const Child& receiver, const QList<DemoProof>& proofs)
{
    QStringList failed;
    for (const DemoProof& p : proofs)
        if (!p.passed)
            failed << (p.category.isEmpty() ? QString() : p.category + QStringLiteral(": ")) + p.text.section(u'\n', 0, 0);
    const QList<QPair<QString, Arrival>> arrived = arrivals(receiver);
    for (const QString& id : kDemoCategories) {
        Arrival a{id};
        for (const auto& [known, arrival] : arrived)
            if (known == id)
                a = arrival;
        const QString label = a.name.isEmpty() ? id : a.name;
        // A name too long for the label column puts its line below it.
        if (label.size() > 16)
            std::printf("\n  %s\n  %-16s %s\n", qPrintable(label), "", qPrintable(arrivalLine(id, a)));
        else
            std::printf("\n  %-16s %s\n", qPrintable(label), qPrintable(arrivalLine(id, a)));
        for (const DemoProof& p : proofs)
            if (p.category == id)
                printProof(p);
    }
    std::printf("\n");
    for (const DemoProof& p : proofs)
        if (p.category.isEmpty())
            std::printf("  %-16s %s %s\n", "sessions", p.passed ? "✓" : "✗", qPrintable(p.text));
    return failed;
}

// Judges the result independently of what the processes reported; the exit code.
int judge(const DemoHomes& homes, Sessions& sessions, Reporter& out, Child& sender, Child& receiver, double seconds)
{
    const int sendExit = sender.process.exitCode();
    const int receiveExit = receiver.process.exitCode();
    QJsonObject summary;
    for (const QJsonObject& e : receiver.events)
        if (e.value(QStringLiteral("event")).toString() == QLatin1String("summary"))
            summary = e;

    DemoObservations seen = observe(homes, *sessions.destination);
    for (DemoSession* session : {sessions.source.get(), sessions.destination.get()}) {
        session->stop();
        seen.processesLeft += int(session->remainingProcesses().size());
    }
    const QList<DemoProof> proofs = judgeDemo(expectations(homes), seen);

    const auto bytes = static_cast<std::uint64_t>(summary.value(QStringLiteral("bytes")).toDouble());
    std::printf("\n\nResult\n");
    std::printf("  files moved      %d of %d\n", summary.value(QStringLiteral("filesCompleted")).toInt(),
                summary.value(QStringLiteral("totalFiles")).toInt());
    std::printf("  data             %s in %.1f s\n", qPrintable(formatFileSize(bytes)), seconds);
    std::printf("  verified         %d files by SHA-256, %d mismatches\n",
                summary.value(QStringLiteral("verified")).toInt(),
                int(summary.value(QStringLiteral("mismatches")).toArray().size()));
    std::printf("  exit codes       send %d, receive %d\n", sendExit, receiveExit);
    const QStringList failed = reportProofs(receiver, proofs);
    if (sendExit != 0 || receiveExit != 0 || !failed.isEmpty()) {
        const QByteArray err = sender.process.readAllStandardError() + receiver.process.readAllStandardError();
        QString text = QStringLiteral("kivo demo: the migration did not complete cleanly");
        for (const QString& f : failed)
            text += QStringLiteral("\n  proof failed: ") + f;
        for (const QJsonValue& v : summary.value(QStringLiteral("notTransferred")).toArray())
            text += QStringLiteral("\n  not transferred: %1 (%2)")
                        .arg(v[QStringLiteral("path")].toString(), v[QStringLiteral("reason")].toString());
        if (!err.isEmpty())
            text += u'\n' + QString::fromUtf8(err.right(4000));
        out.error(text);
        return exitTransferFailed;
    }
    std::printf("\nThe destination home now holds the source's user folders, settings, application data,\n"
                "browser profile and passwords, each proven above.\n");
    return exitSuccess;
}

} // namespace

QString defaultDemoWorkdir()
{
    return QDir::cleanPath(QDir::tempPath() + QStringLiteral("/kivo-demo"));
}

std::optional<QString> demoWorkdirRefusal(const QString& workdir)
{
    // The default workdir is the demonstration's by its name, marked or made by an earlier version.
    if (QFileInfo::exists(workdir + u'/' + kWorkdirMark) || QDir::cleanPath(workdir) == defaultDemoWorkdir())
        return std::nullopt;
    for (const QString& folder : kDemoFolders) {
        const QString path = workdir + u'/' + folder;
        if (QFileInfo(path).exists() || QFileInfo(path).isSymLink())
            return QStringLiteral("kivo demo: %1 already exists and is not an earlier demonstration's; the demo "
                                  "replaces that folder, so choose another --workdir (or an empty one)")
                .arg(path);
    }
    return std::nullopt;
}

int runDemo(const DemoOptions& options)
{
    Reporter out(Reporter::detect(false));
    if (const auto refusal = demoWorkdirRefusal(options.workdir)) {
        out.error(*refusal);
        return exitUsage;
    }
    // Neither this process nor its children may reach the caller's own desktop session.
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "DCONF_PROFILE"})
        qunsetenv(name);
    // Ctrl-C ends the children and both sessions too, rather than leaving a bus behind.
    const InterruptNotifier interrupts;
    try {
        const DemoHomes homes = prepareHomes(options);
        Sessions sessions;
        try {
            sessions = startSessions(homes);
        } catch (const std::exception& e) {
            out.error(QStringLiteral("kivo demo: no private desktop session: ") + describe(e));
            return exitServiceUnavailable;
        }
        QElapsedTimer clock;
        clock.start();
        Child sender;
        Child receiver;
        if (!runBoth(homes, sessions, out, sender, receiver, interrupts)) {
            out.error(interrupts.wasInterrupted() ? QStringLiteral("kivo demo: interrupted")
                                                  : QStringLiteral("kivo demo: the migration did not finish in time"));
            return exitTransferFailed;
        }
        return judge(homes, sessions, out, sender, receiver, clock.elapsed() / 1000.0);
    } catch (const std::exception& e) {
        out.error(QStringLiteral("kivo demo: ") + describe(e));
        return exitTransferFailed;
    }
}

} // namespace kivo::cli
