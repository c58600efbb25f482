// SPDX-License-Identifier: Apache-2.0
#include "support/KeyringSession.h"

#include <QFile>
#include <QProcess>

#include <grp.h>
#include <unistd.h>

namespace kivo::test {

namespace {

QString script() { return QStringLiteral(KIVO_TEST_SOURCE_DIR "/scripts/keyring-session"); }

} // namespace

KeyringSession::KeyringSession() : KeyringSession(std::optional<Login>()) {}

KeyringSession::KeyringSession(Login login) : KeyringSession(std::optional<Login>(std::move(login))) {}

KeyringSession::KeyringSession(std::optional<Login> login) : m_login(std::move(login))
{
    if (m_login && ::chown(QFile::encodeName(m_dir.path()).constData(), m_login->uid, m_login->gid) != 0)
        return;
    QProcess start;
    prepare(start);
    start.start(script(), {QStringLiteral("start"), m_dir.path()});
    if (!start.waitForFinished(30000) || start.exitCode() != 0)
        return;
    for (const QByteArray& line : start.readAllStandardOutput().split('\n'))
        if (line.startsWith("DBUS_SESSION_BUS_ADDRESS="))
            m_address = QString::fromUtf8(line.mid(int(qstrlen("DBUS_SESSION_BUS_ADDRESS="))));
}

KeyringSession::~KeyringSession()
{
    QProcess::execute(script(), {QStringLiteral("stop"), m_dir.path()});
}

QProcessEnvironment KeyringSession::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    if (m_login) {
        env.insert(QStringLiteral("HOME"), m_login->home);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_login->runtimeDir);
        env.insert(QStringLiteral("KEYRING_HOME"), m_login->home);
        env.insert(QStringLiteral("KEYRING_RUNTIME_DIR"), m_login->runtimeDir);
    }
    return env;
}

void KeyringSession::prepare(QProcess& process) const
{
    process.setProcessEnvironment(environment());
    if (!m_login)
        return;
    process.setWorkingDirectory(QStringLiteral("/"));
    const gid_t gid = m_login->gid;
    const uid_t uid = m_login->uid;
    process.setChildProcessModifier([uid, gid] {
        if (::setgroups(1, &gid) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(126);
    });
}

QByteArray KeyringSession::secretTool(const QStringList& args, const QByteArray& input) const
{
    QProcess tool;
    prepare(tool);
    tool.start(QStringLiteral("secret-tool"), args);
    tool.write(input);
    tool.closeWriteChannel();
    if (!tool.waitForFinished(30000) || tool.exitCode() != 0)
        return {};
    return tool.readAllStandardOutput();
}

bool KeyringSession::store(const QString& label, const QStringList& attributes, const QByteArray& secret) const
{
    QProcess tool;
    prepare(tool);
    tool.start(QStringLiteral("secret-tool"), QStringList{QStringLiteral("store"), QStringLiteral("--label=") + label} + attributes);
    tool.write(secret);
    tool.closeWriteChannel();
    return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

} // namespace kivo::test
