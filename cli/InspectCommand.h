#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace kivo::cli {

struct InspectOptions {
    QString home;
    std::optional<QStringList> categories; // none: every category
    bool json = false;
    QString layout = QStringLiteral("auto");
};

// Throws UsageError.
InspectOptions parseInspect(const QStringList& args);
// What the category handlers would move from the home folder; moves nothing
// and leaves no file behind. 0, or 1 when a handler failed.
int runInspect(const InspectOptions& options);

} // namespace kivo::cli
