// SPDX-License-Identifier: Apache-2.0
#include "postmigration/HelperServiceUnit.h"

#include "postmigration/HelperInstaller.h"

#include "HelperUnitTemplate.h"

#include <QDir>
#include <QFileInfo>

namespace kivo {

QString HelperServiceUnit::execWord(const QString& word)
{
    QString escaped;
    bool quote = word.isEmpty();
    for (const QChar c : word) {
        // systemd expands specifiers (%) and variables ($) in command lines.
        if (c == u'%')
            escaped += QStringLiteral("%%");
        else if (c == u'$')
            escaped += QStringLiteral("$$");
        else if (c == u'\\' || c == u'"')
            escaped += u'\\', escaped += c;
        else
            escaped += c;
        if (c.isSpace() || c == u'\'' || c == u';')
            quote = true;
    }
    return quote ? u'"' + escaped + u'"' : escaped;
}

QString HelperServiceUnit::text(const QString& helperExecutable, const QString& socketPath)
{
    QString command = execWord(helperExecutable);
    if (!socketPath.isEmpty() && socketPath != HelperInstaller::systemSocketPath())
        command += QStringLiteral(" --socket ") + execWord(socketPath);
    QString unit = QString::fromUtf8(kHelperUnitTemplate);
    unit.replace(QStringLiteral("@KIVO_HELPER_COMMAND@"), command);
    return unit;
}

QStringList HelperServiceUnit::helperCandidates(const QString& programDir)
{
    const QString helper = QStringLiteral("/kivo-helper");
    return {QDir::cleanPath(programDir + QStringLiteral("/" KIVO_BIN_TO_SBIN) + helper), programDir + helper,
            QDir::cleanPath(programDir + QStringLiteral("/../helper") + helper)};
}

QString HelperServiceUnit::findHelper(const QString& programDir)
{
    for (const QString& candidate : helperCandidates(programDir)) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable())
            return info.canonicalFilePath();
    }
    return {};
}

QStringList HelperServiceUnit::systemUnitDirs()
{
    QStringList dirs{QStringLiteral(KIVO_SYSTEMD_UNIT_DIR), QStringLiteral("/usr/lib/systemd/system"), QStringLiteral("/lib/systemd/system")};
    dirs.removeDuplicates();
    return dirs;
}

std::optional<QString> HelperServiceUnit::packagedUnit(const QStringList& unitDirs)
{
    for (const QString& dir : unitDirs) {
        const QString path = QDir(dir).filePath(fileName());
        if (QFileInfo(path).isFile())
            return path;
    }
    return std::nullopt;
}

HelperServiceUnit::Plan HelperServiceUnit::plan(const Request& request)
{
    Plan plan;
    const auto systemctl = [&plan](QStringList arguments) { plan.steps.append({Step::Kind::systemctl, {}, {}, std::move(arguments)}); };
    const QStringList enable{QStringLiteral("enable"), QStringLiteral("--now"), fileName()};
    if (request.packagedUnit) {
        // The package's unit serves the default socket; one elsewhere would need a second unit of the same name.
        if (!request.socketPath.isEmpty() && request.socketPath != HelperInstaller::systemSocketPath()) {
            plan.problem = QStringLiteral("%1 comes with the package and serves %2; it takes no other socket")
                               .arg(*request.packagedUnit, HelperInstaller::systemSocketPath());
            return plan;
        }
        plan.unitPath = *request.packagedUnit;
        if (request.systemdRunning && request.start)
            systemctl(enable);
        return plan;
    }
    if (request.helperExecutable.isEmpty()) {
        plan.problem = QStringLiteral("kivo-helper was not found beside kivo-cli");
        return plan;
    }
    plan.unitPath = QDir(request.unitDir).filePath(fileName());
    plan.writes = true;
    plan.steps.append({Step::Kind::writeUnit, plan.unitPath, text(request.helperExecutable, request.socketPath), {}});
    if (request.systemdRunning) {
        systemctl({QStringLiteral("daemon-reload")});
        if (request.start)
            systemctl(enable);
    }
    return plan;
}

} // namespace kivo
