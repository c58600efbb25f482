// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace kivo::cli {

struct InspectOptions {
    QString home;
    QString layout = QStringLiteral("auto"); // auto, linux or macos
    std::optional<QStringList> categories; // none: every category
    bool json = false;
};

// Throws UsageError.
InspectOptions parseInspect(const QStringList& args);
// What the category handlers would move from the home folder, with each
// category's texts as the home's layout has them; moves nothing and leaves no
// file behind. 0, or 1 when a handler failed.
int runInspect(const InspectOptions& options);
// `text` as a JSON string literal, quotes included, in UTF-8.
QByteArray jsonString(const QString& text);

} // namespace kivo::cli
