// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace kivo::cli {

struct DevtoolsOptions {
    QString home;
    bool json = false;
    bool plan = false;
    QStringList include;
    std::optional<QString> destinationArchitecture;
    QString connection = QStringLiteral("wifi");
    std::optional<QString> report;
};

// Throws UsageError.
DevtoolsOptions parseDevtools(const QStringList& args);
// The developer environment of a home folder: inventory, plan and audit report.
int runDevtools(const DevtoolsOptions& options);

} // namespace kivo::cli
