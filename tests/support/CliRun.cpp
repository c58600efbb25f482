// SPDX-License-Identifier: Apache-2.0
#include "support/CliRun.h"

#include <QJsonDocument>
#include <QProcess>

namespace kivo::test {

QString kivoCli() { return qEnvironmentVariable("KIVO_BUILD_DIR") + QStringLiteral("/cli/kivo-cli"); }

QList<QJsonObject> CliRun::events(const QString& name) const
{
    QList<QJsonObject> found;
    for (const QByteArray& line : out.split('\n')) {
        const QJsonObject e = QJsonDocument::fromJson(line).object();
        if (e.value(QStringLiteral("event")).toString() == name)
            found << e;
    }
    return found;
}

QJsonObject CliRun::event(const QString& name) const
{
    const QList<QJsonObject> found = events(name);
    return found.isEmpty() ? QJsonObject() : found.last();
}

CliRun runProcess(const QString& program, const QStringList& args, const QProcessEnvironment& environment,
                  std::chrono::milliseconds deadline)
{
    QProcess p;
    p.setProcessEnvironment(environment);
    p.start(program, args);
    p.closeWriteChannel();
    if (!p.waitForFinished(int(deadline.count())))
        p.kill();
    p.waitForFinished();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

QStringList receiveFrom(const QString& home, const QJsonObject& advertised)
{
    return {QStringLiteral("receive"), QStringLiteral("--home"), home, QStringLiteral("--connect"),
            QStringLiteral("127.0.0.1:%1").arg(advertised.value(QStringLiteral("port")).toInt()), QStringLiteral("--code"),
            advertised.value(QStringLiteral("code")).toString(), QStringLiteral("--json")};
}

} // namespace kivo::test
