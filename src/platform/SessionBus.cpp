// SPDX-License-Identifier: Apache-2.0
#include "platform/SessionBus.h"

#include "platform/Error.h"
#include "platform/Processes.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {

namespace {

constexpr int kAnswerMs = 10000;

bool isSocket(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// A folder as the file system resolves it; as written when it does not exist yet.
QString resolved(const QString& folder)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(folder) : canonical;
}

bool isSettingsFolderOf(const QProcessEnvironment& environment, const QString& home)
{
    return resolved(settingsFolderOf(environment)) == resolved(home + QStringLiteral("/.config"));
}

QProcessEnvironment environmentOf(int pid)
{
    QProcessEnvironment environment;
    QFile file(QStringLiteral("/proc/%1/environ").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return environment;
    for (const QByteArray& entry : file.read(1024 * 1024).split('\0')) {
        const qsizetype equals = entry.indexOf('=');
        if (equals > 0)
            environment.insert(QString::fromLocal8Bit(entry.left(equals)), QString::fromLocal8Bit(entry.mid(equals + 1)));
    }
    return environment;
}

// Whether a client could still connect: a bus whose socket file is gone has ended.
bool canReach(const QString& address)
{
    for (const QString& part : address.section(u':', 1).split(u',')) {
        if (part.startsWith(QLatin1String("path=")))
            return isSocket(part.mid(5));
        if (part.startsWith(QLatin1String("abstract=")))
            return true;
    }
    return false;
}

// The bus a service talks on: the one it was started from or told of, else the one
// its client library falls back to without either, $XDG_RUNTIME_DIR/bus, when that
// can be seen from here.
QString busAddressOf(const QProcessEnvironment& service)
{
    for (const char* name : {"DBUS_STARTER_ADDRESS", "DBUS_SESSION_BUS_ADDRESS"})
        if (const QString address = service.value(QLatin1String(name)); !address.isEmpty())
            return address;
    const QString runtime = service.value(QStringLiteral("XDG_RUNTIME_DIR"));
    const QString socket = runtime + QStringLiteral("/bus");
    return runtime.startsWith(u'/') && isSocket(socket) ? QStringLiteral("unix:path=") + socket : QString();
}

// The environment of a settings service running as the account for its home,
// when one runs: it keeps the database in memory and writes it back whole.
// One whose bus has ended can take no more changes and is passed over.
std::optional<QProcessEnvironment> runningSettingsService(const SystemAccount& account)
{
    const QString name = QStringLiteral("dconf-service");
    for (const RunningProcess& process : runningProcesses()) {
        if (process.uid != account.uid || (process.command != name && process.executableName != name))
            continue;
        const QProcessEnvironment environment = environmentOf(process.pid);
        const QString address = busAddressOf(environment);
        if (!environment.isEmpty() && isSettingsFolderOf(environment, account.home)
            && (address.isEmpty() || canReach(address)))
            return environment;
    }
    return std::nullopt;
}

} // namespace

QString settingsFolderOf(const QProcessEnvironment& environment)
{
    const QString config = environment.value(QStringLiteral("XDG_CONFIG_HOME"));
    if (config.startsWith(u'/'))
        return QDir::cleanPath(config);
    return QDir::cleanPath(environment.value(QStringLiteral("HOME")) + QStringLiteral("/.config"));
}

struct SessionBus::Daemon {
    QTemporaryDir dir{QStringLiteral("/tmp/kivo-bus-XXXXXX")};
    QProcess process;
};

SessionBus::SessionBus(const SystemAccount& account, Kind kind) : m_account(account), m_kind(kind) {}

SessionBus::~SessionBus() { stop(); }

std::unique_ptr<SessionBus> SessionBus::open(const SystemAccount& account, const QString& runtimeRoot, Purpose purpose)
{
    const bool settings = purpose == Purpose::settings;
    const unsigned me = effectiveUid();
    if (me != 0 && me != account.uid)
        throw SystemError(QStringLiteral("Only %1 or an administrator can change the settings of %1").arg(account.name));
    if (me == account.uid) {
        // Our bus's services serve our own home: used only when that is the home.
        const QString own = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
        const bool ourHome = isSettingsFolderOf(QProcessEnvironment::systemEnvironment(), account.home);
        if (!own.isEmpty() && (!settings || ourHome)) {
            std::unique_ptr<SessionBus> bus(new SessionBus(account, Kind::caller));
            bus->m_address = own;
            bus->m_runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
            return bus;
        }
    }
    const QString runtimeDir = runtimeRoot + u'/' + QString::number(account.uid);
    const std::optional<SystemAccount> registered = accountWithUid(account.uid);
    const bool ownHome = registered && resolved(registered->home) == resolved(account.home);
    if ((!settings || ownHome) && isSocket(runtimeDir + QStringLiteral("/bus"))) {
        std::unique_ptr<SessionBus> bus(new SessionBus(account, Kind::login));
        bus->m_address = QStringLiteral("unix:path=") + runtimeDir + QStringLiteral("/bus");
        bus->m_runtimeDir = runtimeDir;
        return bus;
    }
    if (const std::optional<QProcessEnvironment> service = settings ? runningSettingsService(account) : std::nullopt) {
        const QString address = busAddressOf(*service);
        if (address.isEmpty())
            throw SystemError(QStringLiteral("A desktop session of %1 is running and its settings service cannot be "
                                             "reached from here; settings written beside it would be lost. Log out "
                                             "of that session, or receive from within it, and try again")
                                  .arg(account.name));
        std::unique_ptr<SessionBus> bus(new SessionBus(account, Kind::login));
        bus->m_address = address;
        bus->m_runtimeDir = service->value(QStringLiteral("XDG_RUNTIME_DIR"));
        return bus;
    }
    std::unique_ptr<SessionBus> bus(new SessionBus(account, Kind::started));
    bus->start();
    return bus;
}

void SessionBus::start()
{
    const QString program = findExecutable(QStringLiteral("dbus-daemon"));
    if (program.isEmpty())
        throw SystemError(QStringLiteral("No D-Bus daemon is installed to reach the desktop services of ") + m_account.name);
    m_daemon = std::make_unique<Daemon>();
    if (!m_daemon->dir.isValid())
        throw SystemError(QStringLiteral("Cannot create a folder for a session bus: ") + m_daemon->dir.errorString());
    m_runtimeDir = m_daemon->dir.path();
    const bool switchUser = effectiveUid() != m_account.uid;
    if (switchUser && ::chown(QFile::encodeName(m_runtimeDir).constData(), m_account.uid, m_account.gid) != 0)
        throw SystemError(QStringLiteral("Cannot give the session bus folder to ") + m_account.name);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                             "XDG_STATE_HOME", "DCONF_PROFILE"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("HOME"), m_account.home);
    env.insert(QStringLiteral("USER"), m_account.name);
    env.insert(QStringLiteral("LOGNAME"), m_account.name);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir);
    QProcess& p = m_daemon->process;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(QStringLiteral("/"));
    p.setProgram(program);
    p.setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                    QStringLiteral("--print-address=1"), QStringLiteral("--address=unix:path=") + m_runtimeDir + QStringLiteral("/bus")});
    p.setStandardInputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    const unsigned uid = m_account.uid, gid = m_account.gid;
    // Its own process group, so that the services it starts end with it.
    p.setChildProcessModifier([switchUser, uid, gid] {
        ::setpgid(0, 0);
        const gid_t group = gid;
        if (switchUser && (::setgroups(1, &group) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
            ::_exit(126);
    });
    p.start(QIODevice::ReadOnly);
    if (!p.waitForStarted(5000))
        throw SystemError(QStringLiteral("The session bus for %1 did not start").arg(m_account.name));
    QElapsedTimer elapsed;
    elapsed.start();
    while (!p.canReadLine() && p.state() == QProcess::Running && elapsed.elapsed() < kAnswerMs)
        p.waitForReadyRead(int(kAnswerMs - elapsed.elapsed()));
    m_address = p.canReadLine() ? QString::fromUtf8(p.readLine()).trimmed() : QString();
    if (m_address.isEmpty()) {
        stop();
        throw SystemError(QStringLiteral("The session bus for %1 gave no address").arg(m_account.name));
    }
}

void SessionBus::stop()
{
    if (!m_daemon)
        return;
    QProcess& p = m_daemon->process;
    if (p.state() != QProcess::NotRunning) {
        const pid_t group = pid_t(p.processId());
        ::kill(-group, SIGTERM);
        if (!p.waitForFinished(5000)) {
            ::kill(-group, SIGKILL);
            p.waitForFinished(5000);
        }
    }
    m_daemon.reset();
}

qint64 SessionBus::daemonPid() const
{
    return m_daemon ? m_daemon->process.processId() : 0;
}

CommandOptions SessionBus::clientOptions() const
{
    CommandOptions options;
    options.timeout = std::chrono::milliseconds(20000);
    options.environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    if (m_kind == Kind::caller)
        return options;
    options.environment.insert(QStringLiteral("HOME"), m_account.home);
    options.environment.insert(QStringLiteral("USER"), m_account.name);
    options.environment.insert(QStringLiteral("LOGNAME"), m_account.name);
    options.environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir);
    options.environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_account.home + QStringLiteral("/.config"));
    options.environment.insert(QStringLiteral("XDG_DATA_HOME"), m_account.home + QStringLiteral("/.local/share"));
    options.workingDirectory = QStringLiteral("/");
    if (effectiveUid() != m_account.uid)
        options.runAs = std::make_pair(m_account.uid, m_account.gid);
    return options;
}

} // namespace kivo
