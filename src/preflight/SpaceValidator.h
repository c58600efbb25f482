// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kivo {

struct SpaceValidationResult {
    enum class Severity { plenty, tight, insufficient };
    std::uint64_t availableBytes = 0;
    std::uint64_t totalDiskBytes = 0;
    std::uint64_t requiredBytes = 0;
    std::uint64_t requiredWithBufferBytes = 0;
    bool willFit = false;
    std::optional<std::uint64_t> shortfallBytes;
    Severity severity = Severity::plenty;

    // From the volume's figures.
    static SpaceValidationResult classify(std::uint64_t requiredBytes, std::uint64_t availableBytes,
                                          std::uint64_t totalDiskBytes);
    // What the selection screen says about it; empty when there is plenty.
    QStringList messages() const;
    QJsonObject toJson() const;
    bool operator==(const SpaceValidationResult&) const = default;
};
QString toString(SpaceValidationResult::Severity severity);

// The selection screen's space line: the selection against the destination volume.
class SpaceValidator : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool queryFailed READ queryFailed NOTIFY changed)
    Q_PROPERTY(QStringList messages READ messages NOTIFY changed)
public:
    using QObject::QObject;

    const std::optional<SpaceValidationResult>& result() const { return m_result; }
    bool queryFailed() const { return m_queryFailed; }
    // The space line's texts; none when there is plenty (or nothing was validated yet).
    QStringList messages() const
    {
        return m_queryFailed ? QStringList{queryFailedMessage()} : m_result ? m_result->messages() : QStringList();
    }

    // Against the volume holding `volumePath`, or against `knownFreeBytes` when
    // the volume is another machine's and its free space was given.
    void validate(std::uint64_t requiredBytes, const QString& volumePath,
                  std::optional<std::uint64_t> knownFreeBytes = std::nullopt);

    static QString queryFailedMessage();

Q_SIGNALS:
    void changed();

private:
    std::optional<SpaceValidationResult> m_result;
    bool m_queryFailed = false;
};

} // namespace kivo
