// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/DeviceRole.h"
#include "transfer/TransferManifest.h"
#include "transfer/TransferProgress.h"

#include <QCoroTask>
#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kivo {

// How a flow ended. Front ends turn it into what they show (kivo-cli: its exit code).
enum class FlowExit {
    success,
    transferFailed, // failed, cancelled, or verification mismatches
    usage,          // the request itself cannot be carried out (unknown category, missing folder, ...)
    pairingFailed,  // pairing cancelled, expired or a wrong code
    noSource,       // no source found or reached in time
    refused,        // a readiness check or a policy stopped it before anything was sent
    serviceUnavailable, // a system service the selection needs (the keychain) cannot be used
    unusableInput,  // the configuration cannot be used: a managed profile missing required keys
};

// Why a flow stopped, in words a person can act on.
struct FlowFailure {
    FlowExit exitClass = FlowExit::transferFailed;
    QString text;
    bool operator==(const FlowFailure&) const = default;
};

// Shown on both sides when a peer paired by the old exchange, which proves no code.
inline constexpr char kUnverifiedPairingWarning[] =
    "Warning: paired without verifying the code (--allow-unverified-pairing); anyone on this network could have "
    "connected in its place.";
// Under that pairing there is no shared key to protect the keychain export.
inline constexpr char kKeychainLeftOutNotice[] =
    "The keychain is left out: it moves only between Macs that paired securely.";

// The source is waiting: what the destination's user needs to find and pair with it.
struct Advertisement {
    QString code;
    quint16 port = 0;
    QString hostname;
    QString username;
    QString transferID;
    int secondsRemaining = 0;
};

struct ProgressSnapshot {
    std::uint64_t bytes = 0;
    std::uint64_t totalBytes = 0;
    int files = 0;
    int totalFiles = 0;
    double bytesPerSecond = 0;
    std::optional<double> secondsRemaining;
    QString currentFile;
    bool verifying = false;
    // The last one of a transfer: shown even when the previous one was moments ago.
    bool isFinal = false;

    static ProgressSnapshot of(const TransferProgress& progress);
};

struct CategoryReport {
    QString categoryID;
    QString name;
    int filesCompleted = 0;
    std::uint64_t bytes = 0;
    // Why what arrived could not be put in place, when it could not.
    std::optional<QString> failure = std::nullopt;
};

// What a category's handler imported on the destination, or why it could not.
struct ImportReport {
    QString categoryID;
    int imported = 0;
    int updated = 0;
    int failed = 0;
    std::optional<QString> error;
    bool serviceUnavailable = false; // the error is a system service kivo needs being unavailable
};

// A file or folder of the selection that did not arrive, and why.
struct FileProblem {
    QString path;
    QString reason;
    bool failed = true; // false: skipped
    QString categoryID{};
    // A kind kivo never copies (a pipe, a socket, a device): listed, never a failure of the run.
    bool neverCopied = false;
    bool operator==(const FileProblem&) const = default;
};

// A category whose files are kivo's own (the keychain's sealed export) and could
// not be put in place on the destination: it failed as a whole.
struct CategoryFailure {
    QString categoryID;
    QString name;
    QString reason;
    bool serviceUnavailable = false;
    // Destination: its files that had arrived whole and were of no use; verification
    // answered them without a hash, so they were counted as checked.
    int arrived = 0;
    bool operator==(const CategoryFailure&) const = default;
};

struct VerificationReport {
    int checked = 0;
    int skipped = 0;
    QStringList mismatches;
    QList<CategoryFailure> categoryFailures;

    // Each of `failures` whose files were checked (mismatched on the source, answered
    // without a hash on the destination) takes their place: they are neither checked
    // nor mismatches, and no path of kivo's own is listed.
    void takeCategoryFailures(const TransferManifest& manifest, const QList<CategoryFailure>& failures);
};

struct TransferSummary {
    DeviceRole role = DeviceRole::source;
    int filesCompleted = 0;
    int totalFiles = 0;
    std::uint64_t bytes = 0;
    double durationSeconds = 0;
    int skipped = 0;
    int failed = 0;
    int verified = 0;
    QStringList mismatches;
    int conflictsResolved = 0;
    QString error; // empty on success
    bool cancelled = false;
    // Everything given up for an error; files the conflict policy kept and
    // cloud placeholders are not among them.
    QList<FileProblem> notTransferred;
    QList<CategoryFailure> categoryFailures;

    static TransferSummary of(DeviceRole role, const TransferProgress& progress,
                              const std::optional<TransferManifest>& manifest);
    // The two halves of `of`: the progress record's figures, read where it lives,
    // and a pass over every item, which may run on any thread.
    static TransferSummary ofProgress(DeviceRole role, const TransferProgress& progress);
    static QSet<QString> policySkippedOf(const TransferProgress& progress);
    void addItems(const TransferManifest& manifest, const QList<FileError>& errors, const QSet<QString>& policySkipped,
                  bool finished);
    // `of` with the pass over the items on a worker, so the screens keep drawing
    // (tens of thousands of items take a tenth of a second).
    static QCoro::Task<TransferSummary> compute(DeviceRole role, const TransferProgress& progress,
                                                std::optional<TransferManifest> manifest);
    // Each of `failures` whose category has files among the problems or the mismatches
    // (how a source learns of it) takes their place, and those files count as failed, not verified.
    void takeCategoryFailures(const TransferManifest& manifest, const QList<CategoryFailure>& failures);
    // `policySkipped`: paths the conflict policy left alone. `finished`: the
    // side knows every item it still holds as pending was never sent (the
    // source, once complete; a destination cannot tell them from files an
    // earlier run delivered).
    static QList<FileProblem> problemsOf(const TransferManifest& manifest, const QList<FileError>& errors,
                                         const QSet<QString>& policySkipped, bool finished);
};

// What a finished transfer means for the user: none when it fully succeeded.
std::optional<FlowFailure> failureOf(const TransferSummary& summary);

} // namespace kivo
