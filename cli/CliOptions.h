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
    exitServiceUnavailable = 7, // a system service needed is unavailable (Secret Service, a locked keychain)
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
    bool confirmSensitive = false;
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

// Each parser throws UsageError with a message fit for stderr.
SendOptions parseSend(const QStringList& args);
ReceiveOptions parseReceive(const QStringList& args);
DemoOptions parseDemo(const QStringList& args);

} // namespace kivo::cli
