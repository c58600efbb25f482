// SPDX-License-Identifier: Apache-2.0
#include "app/DemoSession.h"

#include "platform/Accounts.h"
#include "platform/Error.h"
#include "platform/SessionBus.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

namespace kivo {

namespace {

constexpr int kAnswerMs = 10000;

// Variables of the caller's own desktop that would lead a child to it.
constexpr const char* kCallersDesktop[] = {"DBUS_SESSION_BUS_ADDRESS", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                           "XDG_CACHE_HOME", "XDG_STATE_HOME", "DCONF_PROFILE",
                                           "GNOME_KEYRING_CONTROL", "SSH_AUTH_SOCK"};

bool keyringAnswers(const CommandOptions& client)
{
    CommandOptions options = client;
    options.timeout = std::chrono::milliseconds(2000);
    const CommandResult r = runCommandDetailed(
        QStringLiteral("dbus-send"),
        {QStringLiteral("--session"), QStringLiteral("--print-reply"), QStringLiteral("--dest=org.freedesktop.DBus"),
         QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.NameHasOwner"), QStringLiteral("string:org.freedesktop.secrets")},
        options);
    return r.succeeded() && r.standardOutput.contains("boolean true");
}

bool isZombie(const QString& pidFolder)
{
    QFile stat(pidFolder + QStringLiteral("/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return true; // gone while looking
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) == "Z";
}

} // namespace

DemoSession::DemoSession(const QString& homeFolder, const QString& runtimeRoot, const QByteArray& keyringPassword)
    : m_home(homeFolder)
{
    for (const char* tool : {"dbus-daemon", "dbus-send", "gnome-keyring-daemon", "secret-tool", "dconf"})
        if (findExecutable(QString::fromLatin1(tool)).isEmpty())
            throw SystemError(QStringLiteral("%1 is not installed (scripts/setup-deps installs it)").arg(QString::fromLatin1(tool)));
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        throw SystemError(QStringLiteral("A demonstration session never shares the caller's session bus"));
    std::optional<SystemAccount> account = accountWithUid(effectiveUid());
    if (!account)
        throw SystemError(QStringLiteral("This process's account is unknown"));
    account->home = homeFolder;
    m_bus = SessionBus::open(*account, runtimeRoot);
    m_runtimeDir = client().environment.value(QStringLiteral("XDG_RUNTIME_DIR"));
    try {
        startKeyring(keyringPassword);
    } catch (...) {
        stop();
        throw;
    }
}

DemoSession::~DemoSession() { stop(); }

CommandOptions DemoSession::client() const
{
    return m_bus ? m_bus->clientOptions() : CommandOptions{};
}

QProcessEnvironment DemoSession::environment(QProcessEnvironment base) const
{
    for (const char* name : kCallersDesktop)
        base.remove(QString::fromLatin1(name));
    const CommandOptions options = client();
    for (auto it = options.environment.begin(); it != options.environment.end(); ++it)
        base.insert(it.key(), it.value());
    base.insert(QStringLiteral("HOME"), m_home);
    return base;
}

void DemoSession::startKeyring(const QByteArray& password)
{
    m_keyring.setProcessEnvironment(environment(QProcessEnvironment::systemEnvironment()));
    m_keyring.setWorkingDirectory(m_home);
    m_keyring.setStandardOutputFile(QProcess::nullDevice());
    m_keyring.setStandardErrorFile(QProcess::nullDevice());
    // In the foreground it stays this process's child; the password on its input
    // creates and unlocks the login keyring, so nothing ever prompts.
    m_keyring.start(QStringLiteral("gnome-keyring-daemon"),
                    {QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets")});
    if (!m_keyring.waitForStarted(5000))
        throw SystemError(QStringLiteral("The keyring of the session for %1 did not start").arg(m_home));
    // Written now: nothing else runs this process's event loop until it answers.
    m_keyring.write(password);
    m_keyring.waitForBytesWritten(5000);
    m_keyring.closeWriteChannel();
    QElapsedTimer waited;
    waited.start();
    while (!keyringAnswers(client())) {
        if (m_keyring.state() != QProcess::Running || waited.elapsed() > kAnswerMs)
            throw SystemError(QStringLiteral("The keyring of the session for %1 did not answer").arg(m_home));
        QThread::msleep(50);
    }
}

void DemoSession::stop()
{
    if (m_keyring.state() != QProcess::NotRunning) {
        m_keyring.terminate();
        if (!m_keyring.waitForFinished(5000)) {
            m_keyring.kill();
            m_keyring.waitForFinished(5000);
        }
    }
    m_bus.reset();
    // The services the bus started were told to end with it; on a busy machine
    // they take a moment after it.
    QElapsedTimer waited;
    waited.start();
    while (!remainingProcesses().isEmpty() && waited.elapsed() < kAnswerMs)
        QThread::msleep(50);
}

QList<int> DemoSession::remainingProcesses() const
{
    QList<int> out;
    if (m_runtimeDir.isEmpty())
        return out;
    const QByteArray mark = "XDG_RUNTIME_DIR=" + QFile::encodeName(m_runtimeDir) + '\0';
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (!numeric)
            continue;
        QFile environ(proc.filePath(entry) + QStringLiteral("/environ"));
        if (environ.open(QIODevice::ReadOnly) && environ.readAll().contains(mark) && !isZombie(proc.filePath(entry)))
            out.append(pid);
    }
    return out;
}

} // namespace kivo
