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
    exitRefused = 5,       // a check or policy refused: outside the window, not managed, not enrolled
    exitUnusableInput = 6, // a named input (a profile, say) is missing, unreadable or malformed
};

struct UsageError : std::runtime_error {
    explicit UsageError(const QString& message) : std::runtime_error(message.toStdString()) {}
};

struct SendOptions {
    QString home;
    std::optional<QStringList> categories;
    std::optional<QStringList> folders;
    QString hostname;
    QString username;
    quint16 port = 0;
    std::optional<QString> conflictPolicy;
    std::optional<int> maxMbps;
    bool allowUnverifiedPairing = false;
    bool json = false;
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

} // namespace kivo::cli
