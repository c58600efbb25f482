// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/FlowEvents.h"
#include "categories/HomeLayout.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <optional>

namespace kivo::cli {


// Everything the command line shows: a live bar on a terminal, plain lines
// otherwise, or one JSON object per line with --json (and nothing else on stdout).
class Reporter {
public:
    enum class Mode { terminal, plain, json };
    explicit Reporter(Mode mode, FILE* out = stdout);
    static Mode detect(bool json);
    bool isJson() const { return m_mode == Mode::json; }

    void event(const QString& name, QJsonObject fields, const QString& humanLine = {});
    // Shown at most a few times a second, except the final one.
    void progress(const ProgressSnapshot& snapshot);
    void summary(const TransferSummary& summary);
    // A bar of steps done out of a total, on a terminal only: the events say the rest.
    void steps(int done, int total, const QString& current);
    // Errors always go to stderr, whatever the mode.
    void error(const QString& text);
    // Lines shown to a person use the served home's word for the machine.
    void speakFor(HomeLayoutKind layout) { m_layout = layout; }
    // Text from elsewhere (a peer's name, a file) as one line of a terminal:
    // control characters, line breaks included, read as U+FFFD.
    static QString shown(QString text);

private:
    void clearBar();
    void writeLine(const QString& line);

    Mode m_mode;
    FILE* m_out;
    QElapsedTimer m_sinceProgress;
    bool m_barShown = false;
    HomeLayoutKind m_layout = HomeLayoutKind::MacOS;
};

// A failure's text on stderr, kept for the error event a failing --json run owes.
void printError(const QString& text);
// A failing --json run ends with exactly one error event on stdout: the
// command's own, else one made here from what it last said on stderr.
void emitOwedErrorEvent(int exitCode, FILE* out = stdout);

// Categories that failed as a whole, as --json lists them.
QJsonArray failedCategoriesJson(const QList<CategoryFailure>& failures);

QString formatDuration(double seconds);
QString formatSpeed(double bytesPerSecond);

} // namespace kivo::cli
