// SPDX-License-Identifier: Apache-2.0
#include "cli/ProfileCommand.h"
#include "cli/Reporter.h"

#include "managed/ConfigurationProfileManager.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>

namespace kivo::cli {

namespace {

void print(FILE* out, const QString& line)
{
    std::fputs(line.toUtf8().constData(), out);
    std::fputc('\n', out);
}

QString shown(const QJsonValue& v)
{
    if (v.isNull() || v.isUndefined())
        return QStringLiteral("(none)");
    if (v.isString())
        return v.toString();
    if (v.isArray()) {
        QStringList parts;
        for (const QJsonValue& member : v.toArray())
            parts << member.toString();
        return QStringLiteral("[") + parts.join(QStringLiteral(", ")) + QStringLiteral("]");
    }
    return QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
}

} // namespace

int runProfileCheck(const ProfileCheckOptions& o)
{
    const QString path = o.file.value_or(effectiveProfilePath());
    const ProfileDomain domain = openProfileDomain(path);
    if (!domain.contents) {
        if (o.json)
            Reporter(Reporter::Mode::json).event(QStringLiteral("error"), {{QStringLiteral("path"), path}, {QStringLiteral("error"), domain.error}});
        printError(QStringLiteral("kivo-cli: profile unusable: ") + domain.error);
        return exitUnusableInput;
    }

    const ConfigurationProfileManager profile(*domain.contents);
    const ProfileReading& reading = profile.reading();
    QList<ProfileFinding> findings = reading.findings;
    const ProfileValues& v = profile.values();
    if ((v.mdmAppManifestJSON || v.mdmAppManifestPath) && !profile.loadMDMAppManifest())
        findings.append({v.mdmAppManifestJSON ? QStringLiteral("kivo.mdmAppManifestJSON") : QStringLiteral("kivo.mdmAppManifestPath"),
                         QStringLiteral("the app manifest is unreadable or not a JSON object")});
    const ManagedDeploymentConfig config = profile.resolvedManagedDeployment();
    const QStringList missing = config.missingRequiredKeys();

    if (o.json) {
        QJsonArray findingList;
        for (const ProfileFinding& f : findings)
            findingList.append(QJsonObject{{QStringLiteral("key"), f.key}, {QStringLiteral("message"), f.message}});
        const QJsonObject out{{QStringLiteral("path"), path},
                              {QStringLiteral("present"), v.isProfilePresent},
                              {QStringLiteral("values"), reading.shownValues},
                              {QStringLiteral("managedDeployment"), config.toJson()},
                              {QStringLiteral("missingRequiredKeys"), QJsonArray::fromStringList(missing)},
                              {QStringLiteral("findings"), findingList}};
        print(stdout, QString::fromUtf8(QJsonDocument(out).toJson(QJsonDocument::Compact)));
    } else {
        print(stdout, QStringLiteral("Profile: %1 (%2)")
                          .arg(path, v.isProfilePresent ? QStringLiteral("applied")
                                                        : QStringLiteral("not applied: no presence key")));
        for (auto it = reading.shownValues.begin(); it != reading.shownValues.end(); ++it)
            print(stdout, QStringLiteral("  %1 = %2").arg(it.key(), shown(it.value())));
        const QJsonObject managed = config.toJson();
        print(stdout, QStringLiteral("Managed deployment:"));
        for (auto it = managed.begin(); it != managed.end(); ++it)
            print(stdout, QStringLiteral("  %1 = %2").arg(it.key(), shown(it.value())));
        if (!missing.isEmpty())
            print(stdout, QStringLiteral("Missing required keys: ") + missing.join(QStringLiteral(", ")));
        for (const ProfileFinding& f : findings)
            print(stdout, QStringLiteral("Finding: %1: %2").arg(f.key, f.message));
    }
    if (!missing.isEmpty()) {
        printError(QStringLiteral("kivo-cli: %1: managed mode is missing required keys: %2").arg(path, missing.join(QStringLiteral(", "))));
        return exitUnusableInput;
    }
    if (findings.isEmpty())
        return exitSuccess;
    printError(QStringLiteral("kivo-cli: %1: %2 finding(s)").arg(path).arg(findings.size()));
    return exitTransferFailed;
}

} // namespace kivo::cli
