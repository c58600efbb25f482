#pragma once

#include <QProcess>
#include <QString>

#include <string>

#include <unistd.h>

namespace kivo::test {

// Why the namespace hosts of the test network cannot be used here; empty when they can.
inline std::string testNetMissing(const QString& exec)
{
    if (geteuid() != 0)
        return "the two-host network needs root";
    QProcess probe;
    probe.start(exec, {QStringLiteral("a"), QStringLiteral("true")});
    probe.waitForFinished();
    if (probe.exitCode() != 0)
        return "the two-host network is not up: " + probe.readAllStandardError().toStdString();
    return {};
}

} // namespace kivo::test
