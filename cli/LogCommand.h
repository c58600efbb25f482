// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

namespace kivo::cli {

// The log id names no log.
inline constexpr int exitUnknownLog = 6;

struct LogOptions {
    enum class Action { list, show, exportAll, post };
    Action action = Action::list;
    QString home;
    bool json = false;
    QString id;                 // show, post: an id or "latest"
    bool pending = false;       // post: every log whose post failed earlier
    std::optional<QString> url; // post: none takes the configured endpoint
    std::optional<QString> out; // export
};

// Where finished logs go: KIVO_LOG_ENDPOINT for now, the configuration profile's later.
std::optional<QUrl> logEndpointFromEnvironment();

// Throws UsageError.
LogOptions parseLog(const QStringList& args);
int runLog(const LogOptions& options);

} // namespace kivo::cli
