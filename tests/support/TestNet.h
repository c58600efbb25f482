// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QProcess>
#include <QRandomGenerator>
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

// A fresh name of letters only, so that records earlier runs left in a daemon's
// cache are never taken for ours and no digits stand where a code is looked for.
inline QString freshName(const char* stem)
{
    QString word = QLatin1String(stem) + u'-';
    for (int i = 0; i < 8; ++i)
        word += QChar(u'a' + QRandomGenerator::global()->bounded(26));
    return word;
}

} // namespace kivo::test
