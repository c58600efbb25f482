// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <stdexcept>

namespace kivo::cli {

// Exit codes are part of the command-line contract.
enum ExitCode {
    exitSuccess = 0,
    exitTransferFailed = 1, // failed, cancelled, or verification mismatches
    exitUsage = 2,
    exitPairingFailed = 3, // pairing failed, expired or wrong code
    exitNoSource = 4,      // no source found in time
    exitRefused = 5,       // a check or policy refused: a pre-flight blocker, outside the window, not enrolled
    exitBadInput = 6,      // a named input (file, bundle key) is missing or malformed
    exitServiceUnavailable = 7, // a system service kivo needs is not there (the helper, the keychain)
    exitUnusableInput = exitBadInput, // a profile that cannot be used names the same kind of failure
};

// A command line that cannot be run; `context` names the command it is about
// ("log" for a missing subcommand) when that is not the one being parsed.
struct UsageError : std::runtime_error {
    explicit UsageError(const QString& message, QString context = {})
        : std::runtime_error(message.toStdString()), context(std::move(context)) {}
    QString context;
};

// Throws UsageError unless `home` is a folder: a mistyped --home is never read as an empty home.
void requireExistingHome(const QString& home);

// Pre-flight choices, taken by `preflight` and by `send`.
struct PreflightFlags {
    std::optional<QString> destinationHome;
    std::optional<quint64> destinationFreeBytes;
    std::optional<QString> connection; // wifi, ethernet or thunderbolt
    std::optional<QString> storeUrl;
    bool offline = false;
    bool includeDerived = false;
    std::optional<QString> exportPath;
};

struct PreflightOptions {
    QString home;
    QString layout = QStringLiteral("auto"); // auto, linux or macos
    std::optional<QStringList> categories;
    std::optional<QStringList> folders;
    PreflightFlags flags;
    bool json = false;
};

struct SendOptions {
    QString home;
    QString layout = QStringLiteral("auto"); // auto, linux or macos
    std::optional<QStringList> categories;
    std::optional<QStringList> folders;
    QString hostname;
    QString username;
    quint16 port = 0;
    std::optional<QString> conflictPolicy;
    std::optional<int> maxMbps;
    bool allowUnverifiedPairing = false;
    bool json = false;
    // Developer items toggled by name, with the engineeringTools category.
    QStringList devInclude;
    PreflightFlags preflight;
    bool confirmSensitive = false;
    bool vaultSnapshot = false;
    std::optional<QString> vault;
};

struct ReceiveOptions {
    QString home;
    std::optional<QString> code;
    std::optional<QString> source;
    std::optional<QString> connectHost;
    quint16 connectPort = 0;
    int timeoutSeconds = 120;
    bool allowUnverifiedPairing = false;
    bool json = false;
    // Adapting to the destination account.
    std::optional<QString> user;
    std::optional<QString> sourceHome;
    std::optional<QString> prefRestore;   // else the profile's, else staged
    std::optional<int> restoreWindowDays; // else the profile's, else 7
    bool homeGiven = false;
    bool noVault = false; // no snapshot of what the migration replaces
    // A migration from a vault's snapshot instead of a source.
    std::optional<QString> fromVault;
    std::optional<QString> vault;
    std::optional<QString> passwordFile;
    std::optional<QString> conflictPolicy;
};

struct HelperOptions {
    QString action; // status, install
    bool json = false;
    QString unitDir = QStringLiteral("/etc/systemd/system");
    QString socket;
    bool start = true;
};

struct StagedOptions {
    QString action; // list, watch, apply, discard
    QString key;
    QString home;
    QStringList appsDirs;
    bool json = false;
};

struct DemoOptions {
    QString workdir;
    int files = 120;
};

// ---- managed deployment ----
struct ProfileCheckOptions {
    std::optional<QString> file; // none: the effective profile
    bool json = false;
};

struct ManagedOptions {
    std::optional<QString> profile; // none: KIVO_CONFIG_PROFILE, else the system's
    std::optional<QString> home;    // none: the principal's home folder
    bool json = false;
    int discoveryTimeoutSeconds = 120;
    int pairingTimeoutSeconds = 60;
};

ProfileCheckOptions parseProfileCheck(const QStringList& args);
ManagedOptions parseManaged(const QStringList& args);

// Each parser throws UsageError with a message fit for stderr.
SendOptions parseSend(const QStringList& args);
ReceiveOptions parseReceive(const QStringList& args);
DemoOptions parseDemo(const QStringList& args);
HelperOptions parseHelper(const QStringList& args);
StagedOptions parseStaged(const QStringList& args);
PreflightOptions parsePreflight(const QStringList& args);

} // namespace kivo::cli
