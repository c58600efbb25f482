// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/FileSystem.h"
#include "transfer/ConflictPolicy.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
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

// Only reads the destination's attributes. Times are compared at the precision
// both sides have: to the nanosecond when the source sent the fraction of its
// second, otherwise in whole seconds. `links` says whether a link at the path
// is judged by itself or by what it points to.
ConflictDecision resolve(const QString& destinationPath, const std::optional<QDateTime>& sourceModified,
                         ConflictPolicy policy, std::optional<std::uint32_t> sourceNanoseconds = std::nullopt,
                         fs::Links links = fs::Links::follow);

} // namespace ConflictResolver

} // namespace kivo
