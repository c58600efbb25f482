// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QList>
#include <QString>

namespace kivo::cli {

// One kind of line `--json` prints.
struct JsonEventSpec {
    QString name;
    QString commands;
    QString fields;
};

// Every event any command prints with --json.
const QList<JsonEventSpec>& jsonEvents();

// kivo-cli(1) in roff, from the command table; `date` is YYYY-MM-DD.
QString manPage(const QString& version, const QString& date);
// The release date the build was given, never the build's own time.
QString releaseDate();
// `text` safe inside roff: backslashes, hyphens and leading control characters escaped.
QString roffEscape(const QString& text);

} // namespace kivo::cli
