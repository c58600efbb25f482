// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>

namespace kivo::cli {

struct AppsOptions {
    enum class Action { list, install };
    Action action = Action::list;
    QString home;
    QStringList ids; // install: the chosen ones; empty with --all
    bool json = false;
};

// Throws UsageError.
AppsOptions parseApps(const QStringList& args);
// Shows the reinstall list a migration left in the home, or installs from it with the real tools.
int runApps(const AppsOptions& options);

} // namespace kivo::cli
