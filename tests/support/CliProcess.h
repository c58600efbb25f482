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
    CliProcess(const QString& program, const QStringList& args);
    CliProcess(const QString& program, const QStringList& args, const QProcessEnvironment& environment);
    ~CliProcess();

    // The first event of that name after those already waited for, or an empty
    // object once the process ended or time ran out.
    QJsonObject waitForEvent(const QString& name, std::chrono::milliseconds deadline = std::chrono::seconds(30));
    // Exit code, or -1 after a crash or a kill.
    int finish(std::chrono::milliseconds deadline = std::chrono::minutes(3));
    void killHard();
    QByteArray errors() { return m_process.readAllStandardError(); }

private:
    QProcess m_process;
    QByteArray m_buffer;
};

} // namespace kivo::test
