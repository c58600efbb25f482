// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QStringList>

#include <chrono>

namespace kivo::test {

// A kivo-cli run in the background whose --json events are read as they come.
// Killed on destruction if still running.
class CliProcess {
public:
    CliProcess(const QString& program, const QStringList& args,
               const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
    ~CliProcess();

    // The first event of that name after those already waited for, or an empty
    // object once the process ended or time ran out.
    QJsonObject waitForEvent(const QString& name, std::chrono::milliseconds deadline = std::chrono::seconds(30));
    // Every event of that name printed so far, in order.
    QList<QJsonObject> events(const QString& name);
    // Exit code, or -1 after a crash or a kill.
    int finish(std::chrono::milliseconds deadline = std::chrono::minutes(3));
    void killHard();
    // All it wrote to standard error so far.
    QByteArray errors() { return m_errors += m_process.readAllStandardError(); }

private:
    void read();

    QProcess m_process;
    QByteArray m_buffer;
    QByteArray m_errors;
    QList<QJsonObject> m_events;
    qsizetype m_next = 0;
};

} // namespace kivo::test
