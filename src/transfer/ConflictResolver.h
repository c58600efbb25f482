#pragma once

#include "transfer/ConflictPolicy.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace kivo {

// Write the incoming file, or leave the existing one alone for `reason`.
struct ConflictDecision {
    bool write = true;
    QString reason;

    static ConflictDecision writeFile(QString reason = {}) { return {true, std::move(reason)}; }
    static ConflictDecision skip(QString reason) { return {false, std::move(reason)}; }
    bool operator==(const ConflictDecision&) const = default;
};

namespace ConflictResolver {

// Only reads the destination's attributes.
ConflictDecision resolve(const QString& destinationPath, const std::optional<QDateTime>& sourceModified,
                         ConflictPolicy policy);

} // namespace ConflictResolver

} // namespace kivo
