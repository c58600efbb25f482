// SPDX-License-Identifier: Apache-2.0
#include "preflight/MDMSafetyCheck.h"

#include "platform/CommandRunner.h"
#include "platform/DiskEncryption.h"
#include "platform/Logging.h"
#include "platform/PropertyList.h"
#include "transfer/MDMSafetyChecker.h"

namespace kivo {

namespace {

#ifdef Q_OS_MACOS
const char kUsersFolder[] = "/Users/";
#else
const char kUsersFolder[] = "/home/";
#endif

CommandOptions toolOptions()
{
    CommandOptions o;
    o.timeout = std::chrono::seconds(10);
    o.maxOutputBytes = 1024 * 1024;
    return o;
}

} // namespace

std::optional<QString> enrollmentLineOf(const QString& profilesOutput)
{
    for (const QString& line : profilesOutput.split(u'\n')) {
        const QString trimmed = line.trimmed();
        if (trimmed.contains(QLatin1String("MDM enrollment")))
            return trimmed;
    }
    return std::nullopt;
}

bool fileVaultOnIn(const QString& fdesetupOutput) { return fdesetupOutput.contains(QLatin1String("FileVault is On")); }

MDMSafetyResult checkDestination(const QString& destinationHomeFolder, const CheckEnvironment& env)
{
    MDMSafetyResult r;
    // The managed profile is the enrolment marker: one that reads as a dictionary.
    bool markers = false;
    if (const auto document = plist::readFile(env.profilePath); document && document->root.typeId() == QMetaType::QVariantMap) {
        markers = true;
        r.enrollmentProfileIdentifier = env.profilePath;
    }
    if (!env.profilesTool.isEmpty()) {
        if (const auto out = runCommand(env.profilesTool, {QStringLiteral("status"), QStringLiteral("-type"),
                                                           QStringLiteral("enrollment")}, toolOptions()))
            r.enrollmentProfileIdentifier = enrollmentLineOf(*out);
    }
    if (!destinationHomeFolder.isEmpty() && !MDMSafetyChecker(env.systemRoot).isPathSafe(destinationHomeFolder))
        r.warnings << QStringLiteral("Destination home folder is inside a protected system path");
    if (!env.fdesetupTool.isEmpty()) {
        const auto out = runCommand(env.fdesetupTool, {QStringLiteral("status")}, toolOptions());
        r.isFileVaultEnabled = out && fileVaultOnIn(*out);
    } else {
        r.isFileVaultEnabled = isOnEncryptedVolume(destinationHomeFolder, env.sysfsRoot);
    }
    if (!destinationHomeFolder.startsWith(QLatin1String(kUsersFolder)))
        r.warnings << QStringLiteral("Destination home folder is not in %1 — unusual configuration")
                          .arg(QLatin1String(kUsersFolder));
    r.isEnrollmentIntact = markers;
    r.hasConfigProfiles = markers;
    if (markers) {
        qCInfo(lcMDMSafety) << "MDM enrollment check passed";
    } else {
        r.warnings << QStringLiteral("No MDM enrollment profiles detected on this Mac");
        qCInfo(lcMDMSafety) << "MDM enrollment check: no profiles found";
    }
    return r;
}

} // namespace kivo
