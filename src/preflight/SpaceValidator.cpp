// SPDX-License-Identifier: Apache-2.0
#include "preflight/SpaceValidator.h"

#include "platform/ByteCount.h"
#include "platform/VolumeSpace.h"

namespace kivo {

QString toString(SpaceValidationResult::Severity severity)
{
    switch (severity) {
    case SpaceValidationResult::Severity::plenty: return QStringLiteral("plenty");
    case SpaceValidationResult::Severity::tight: return QStringLiteral("tight");
    case SpaceValidationResult::Severity::insufficient: return QStringLiteral("insufficient");
    }
    return QStringLiteral("plenty");
}

SpaceValidationResult SpaceValidationResult::classify(std::uint64_t required, std::uint64_t available,
                                                      std::uint64_t total)
{
    SpaceValidationResult r;
    r.availableBytes = available;
    r.totalDiskBytes = total;
    r.requiredBytes = required;
    r.requiredWithBufferBytes = static_cast<std::uint64_t>(static_cast<double>(required) * 1.1);
    r.willFit = available >= r.requiredWithBufferBytes;
    if (!r.willFit) {
        r.shortfallBytes = r.requiredWithBufferBytes - available;
        r.severity = Severity::insufficient;
    } else {
        r.severity = available < 2 * required ? Severity::tight : Severity::plenty;
    }
    return r;
}

QStringList SpaceValidationResult::messages() const
{
    switch (severity) {
    case Severity::plenty: return {};
    case Severity::tight:
        return {QStringLiteral("Destination has %1 available. Migration requires %2. This will fit but leaves limited free space.")
                    .arg(formatFileSize(availableBytes), formatFileSize(requiredBytes))};
    case Severity::insufficient: {
        QStringList lines{QStringLiteral("Not enough space. Migration requires %1 but only %2 is available.")
                              .arg(formatFileSize(requiredWithBufferBytes), formatFileSize(availableBytes))};
        if (shortfallBytes)
            lines << QStringLiteral("Free up at least %1 or deselect items above.").arg(formatFileSize(*shortfallBytes));
        return lines;
    }
    }
    return {};
}

QJsonObject SpaceValidationResult::toJson() const
{
    QJsonObject o{{QStringLiteral("availableBytes"), double(availableBytes)},
                  {QStringLiteral("totalDiskBytes"), double(totalDiskBytes)},
                  {QStringLiteral("requiredBytes"), double(requiredBytes)},
                  {QStringLiteral("requiredWithBufferBytes"), double(requiredWithBufferBytes)},
                  {QStringLiteral("willFit"), willFit},
                  {QStringLiteral("severity"), toString(severity)}};
    if (shortfallBytes)
        o.insert(QStringLiteral("shortfallBytes"), double(*shortfallBytes));
    return o;
}

QString SpaceValidator::queryFailedMessage()
{
    return QStringLiteral("Unable to check destination disk space. Verify you have enough space before continuing.");
}

void SpaceValidator::validate(std::uint64_t requiredBytes, const QString& volumePath,
                              std::optional<std::uint64_t> knownFreeBytes)
{
    std::optional<VolumeSpace> space;
    if (knownFreeBytes)
        space = VolumeSpace{*knownFreeBytes, 0};
    else if (!volumePath.isEmpty())
        space = volumeSpaceAt(volumePath);
    const bool failed = !space;
    std::optional<SpaceValidationResult> result;
    if (space)
        result = SpaceValidationResult::classify(requiredBytes, space->availableBytes, space->totalBytes);
    if (failed == m_queryFailed && result == m_result)
        return;
    m_queryFailed = failed;
    m_result = std::move(result);
    Q_EMIT changed();
}

} // namespace kivo
