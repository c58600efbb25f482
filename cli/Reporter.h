#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <optional>

namespace kivo::cli {

struct ProgressSnapshot {
    std::uint64_t bytes = 0;
    std::uint64_t totalBytes = 0;
    int files = 0;
    int totalFiles = 0;
    double bytesPerSecond = 0;
    std::optional<double> secondsRemaining;
    QString currentFile;
    bool verifying = false;
};

struct Summary {
    int filesCompleted = 0;
    int totalFiles = 0;
    std::uint64_t bytes = 0;
    double durationSeconds = 0;
    int skipped = 0;
    int failed = 0;
    int verified = 0;
    QStringList mismatches;
    int conflictsResolved = 0;
    QString error; // empty on success
    bool cancelled = false;
};

// Everything the command line shows: a live bar on a terminal, plain lines
// otherwise, or one JSON object per line with --json (and nothing else on stdout).
class Reporter {
public:
    enum class Mode { terminal, plain, json };
    explicit Reporter(Mode mode, FILE* out = stdout);
    static Mode detect(bool json);

    void event(const QString& name, QJsonObject fields, const QString& humanLine = {});
    void progress(const ProgressSnapshot& snapshot, bool force = false);
    void summary(const Summary& summary, const QString& role);
    // Errors always go to stderr, whatever the mode.
    void error(const QString& text);

private:
    void clearBar();
    void writeLine(const QString& line);

    Mode m_mode;
    FILE* m_out;
    QElapsedTimer m_sinceProgress;
    bool m_barShown = false;
};

QString formatDuration(double seconds);
QString formatSpeed(double bytesPerSecond);

} // namespace kivo::cli
