// SPDX-License-Identifier: Apache-2.0
#include "support/KeyringSession.h"

#include <QProcess>

namespace kivo::test {

namespace {

QString script() { return QStringLiteral(KIVO_TEST_SOURCE_DIR "/scripts/keyring-session"); }

} // namespace

KeyringSession::KeyringSession()
{
    QProcess start;
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
    return env;
}

QByteArray KeyringSession::secretTool(const QStringList& args, const QByteArray& input) const
{
    QProcess tool;
    tool.setProcessEnvironment(environment());
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
    tool.setProcessEnvironment(environment());
    tool.start(QStringLiteral("secret-tool"), QStringList{QStringLiteral("store"), QStringLiteral("--label=") + label} + attributes);
    tool.write(secret);
    tool.closeWriteChannel();
    return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

} // namespace kivo::test
