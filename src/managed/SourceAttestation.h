// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <optional>

namespace kivo {

struct CommandResult;

// Whether this machine is enrolled with the organisation's device management.
struct AttestationOutcome {
    bool enrolled = false;
    QString reason; // why not, when not

    static AttestationOutcome yes() { return {true, {}}; }
    static AttestationOutcome no(QString why) { return {false, std::move(why)}; }
    bool operator==(const AttestationOutcome&) const = default;
};

namespace attestation {

// The status tool's run read into an outcome (its output names "MDM enrollment: …").
AttestationOutcome fromProfilesStatus(const CommandResult& run);
// A populated managed-preferences folder is enough; otherwise the status tool
// decides, when there is one. Blocks: call it off the main thread.
AttestationOutcome attestLocalDevice(const QString& managedPreferencesFolder, const QString& profilesTool);

} // namespace attestation

} // namespace kivo
