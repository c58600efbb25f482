// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <chrono>
#include <optional>

namespace kivo {

class Clock;
enum class PrefRestoreMode;

// What the session runs against. The home folder is always passed in: the
// session never reads the real user's home on its own.
struct SessionEnvironment {
    QString homeFolder;
    QString hostname;       // shown to the peer; empty: the machine's name
    QString username;       // empty: the login user's short name
    quint16 listenPort = 0; // 0: any free port
    Clock* clock = nullptr; // the pairing window's time; null: the system's
    QString profilePath{};  // the configuration profile; empty: the effective one
    bool demoAvailable = false; // the welcome screen offers a demonstration
    QString demoWorkdir{};      // its source-home and destination-home; never the user's home
    QString demoPeerProgram{};  // kivo-cli, which plays the other machine
    QString layout = QStringLiteral("auto"); // the home's layout: "auto", "linux" or "macos"
};

// How a destination makes what arrives its account's. Every field may stay
// unset: the session's user and home, the home the manifest shows, and the
// profile's restore settings (or staged for 7 days) are used then.
struct AdaptationOptions {
    QString destinationUsername;
    std::optional<QString> sourceHome;
    std::optional<PrefRestoreMode> restoreMode;
    std::optional<int> restoreWindowDays;
};

// What a destination's account mapping is made of, before the manifest is seen.
struct MappingInputs {
    QString sourceUsername;            // as advertised; may be empty
    std::optional<QString> sourceHome; // given by the user
    QString destinationUsername;
    QString destinationHome;
};

// How an unattended run waits; the defaults are a launch's.
struct ManagedLaunch {
    std::chrono::milliseconds discoveryTimeout{120000};
    std::chrono::milliseconds pairingTimeout{60000};
    // At the end, what is still on its way to the telemetry endpoint gets this long.
    std::chrono::milliseconds telemetryTimeout{60000};
};

// How a typed pairing code fared.
enum class PairingAttempt { paired, mismatch, failed };

} // namespace kivo
