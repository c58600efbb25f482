#include "support/CliProcess.h"

#include "support/CoroTest.h"

#include <QJsonDocument>

#include <csignal>
#include <sys/types.h>

namespace kivo::test {

CliProcess::CliProcess(const QString& program, const QStringList& args) { m_process.start(program, args); }

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

QJsonObject CliProcess::waitForEvent(const QString& name, std::chrono::milliseconds deadline)
{
    QJsonObject found;
    waitUntil(
        [&] {
            m_buffer += m_process.readAllStandardOutput();
            // Stops at the event, so that later ones stay for the next wait.
            qsizetype nl;
            while (found.isEmpty() && (nl = m_buffer.indexOf('\n')) >= 0) {
                const QJsonObject e = QJsonDocument::fromJson(m_buffer.left(nl)).object();
                m_buffer.remove(0, nl + 1);
                if (e.value(QStringLiteral("event")).toString() == name)
                    found = e;
            }
            return !found.isEmpty() || m_process.state() == QProcess::NotRunning;
        },
        deadline);
    return found;
}

int CliProcess::finish(std::chrono::milliseconds deadline)
{
    m_process.waitForFinished(int(deadline.count()));
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

void CliProcess::killHard()
{
    ::kill(pid_t(m_process.processId()), SIGKILL);
    m_process.waitForFinished();
}

} // namespace kivo::test
