// SPDX-License-Identifier: Apache-2.0
#include "support/CliProcess.h"

#include "support/CoroTest.h"

#include <QJsonDocument>

#include <csignal>
#include <sys/types.h>

namespace kivo::test {

CliProcess::CliProcess(const QString& program, const QStringList& args, const QProcessEnvironment& environment)
{
    m_process.setProcessEnvironment(environment);
    m_process.start(program, args);
}

CliProcess::~CliProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

void CliProcess::read()
{
    m_buffer += m_process.readAllStandardOutput();
    for (qsizetype nl; (nl = m_buffer.indexOf('\n')) >= 0; m_buffer.remove(0, nl + 1))
        m_events << QJsonDocument::fromJson(m_buffer.left(nl)).object();
}

QJsonObject CliProcess::waitForEvent(const QString& name, std::chrono::milliseconds deadline)
{
    QJsonObject found;
    waitUntil(
        [&] {
            read();
            for (; m_next < m_events.size() && found.isEmpty(); ++m_next)
                if (m_events[m_next].value(QStringLiteral("event")).toString() == name)
                    found = m_events[m_next];
            return !found.isEmpty() || m_process.state() == QProcess::NotRunning;
        },
        deadline);
    return found;
}

QList<QJsonObject> CliProcess::events(const QString& name)
{
    read();
    QList<QJsonObject> out;
    for (const QJsonObject& e : m_events)
        if (e.value(QStringLiteral("event")).toString() == name)
            out << e;
    return out;
}

int CliProcess::finish(std::chrono::milliseconds deadline)
{
    m_process.waitForFinished(int(deadline.count()));
    read();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

void CliProcess::killHard()
{
    ::kill(pid_t(m_process.processId()), SIGKILL);
    m_process.waitForFinished();
}

} // namespace kivo::test
