// SPDX-License-Identifier: Apache-2.0
#include "managed/SourceAttestation.h"

#include "platform/CommandRunner.h"
#include "platform/Logging.h"

#include <QDir>

namespace kivo::attestation {

AttestationOutcome fromProfilesStatus(const CommandResult& run)
{
    if (!run.started)
        return AttestationOutcome::no(QStringLiteral("profiles(1) unavailable: the tool could not be started"));
    if (run.timedOut)
        return AttestationOutcome::no(QStringLiteral("profiles(1) unavailable: it did not finish in time"));
    if (run.exitCode != 0)
        return AttestationOutcome::no(QStringLiteral("profiles(1) exit %1").arg(run.exitCode));
    if (run.outputTooLarge)
        return AttestationOutcome::no(QStringLiteral("profiles(1) output unreadable"));
    const QString text = QString::fromUtf8(run.standardOutput);
    if (text.contains(QChar::ReplacementCharacter))
        return AttestationOutcome::no(QStringLiteral("profiles(1) output unreadable"));
    qCInfo(lcManagedModeCoordinator).noquote() << "profiles status:" << text.trimmed();
    for (const QString& line : text.split(u'\n')) {
        if (!line.startsWith(QLatin1String("MDM enrollment:")))
            continue;
        const QString value = line.mid(line.indexOf(u':') + 1).trimmed();
        if (value.toLower().startsWith(QLatin1String("yes"))) {
            qCInfo(lcManagedModeCoordinator) << "profiles status reported enrollment";
            return AttestationOutcome::yes();
        }
        return AttestationOutcome::no(QStringLiteral("MDM enrollment: ") + value);
    }
    return AttestationOutcome::no(QStringLiteral("profiles(1) reported no MDM enrollment line"));
}

AttestationOutcome attestLocalDevice(const QString& managedPreferencesFolder, const QString& profilesTool)
{
    const QDir folder(managedPreferencesFolder);
    const qsizetype entries =
        folder.exists() ? folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).size() : 0;
    if (entries > 0) {
        qCInfo(lcManagedModeCoordinator).noquote()
            << QStringLiteral("Managed Preferences populated (%1 entries)").arg(entries);
        return AttestationOutcome::yes();
    }
    if (profilesTool.isEmpty())
        return AttestationOutcome::no(QStringLiteral("No MDM enrollment indicators on this device"));
    CommandOptions options;
    options.timeout = std::chrono::seconds(30);
    options.maxOutputBytes = 1024 * 1024;
    return fromProfilesStatus(runCommandDetailed(profilesTool, {QStringLiteral("status"), QStringLiteral("-type"),
                                                                QStringLiteral("enrollment")},
                                                 options));
}

} // namespace kivo::attestation
