// SPDX-License-Identifier: Apache-2.0
#include "cli/Reporter.h"

#include "app/HomeWording.h"
#include "cli/CliOptions.h"
#include "cli/CommandTable.h"

#include "platform/ByteCount.h"
#include "platform/FileSystem.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

namespace kivo::cli {

namespace {

constexpr qint64 kJsonProgressIntervalMs = 250;
constexpr qint64 kBarIntervalMs = 100;
constexpr qint64 kPlainIntervalMs = 2000;

// What this run has told of its failure, on either stream.
struct FailureRecord {
    QString lastError;
    bool errorEventSent = false;
};

FailureRecord& failureRecord()
{
    static FailureRecord record;
    return record;
}

QString elide(const QString& text, int width)
{
    if (text.size() <= width)
        return text;
    return QStringLiteral("…") + text.right(width - 1);
}

// No escape sequence reaches the terminal, whatever a line carries; line breaks
// and tabs of our own texts stay.
QString withoutEscapes(QString line)
{
    for (QChar& c : line)
        if (c.category() == QChar::Other_Control && c != u'\n' && c != u'\t')
            c = QChar::ReplacementCharacter;
    return line;
}

} // namespace

QString Reporter::shown(QString text)
{
    for (QChar& c : text)
        if (c.category() == QChar::Other_Control)
            c = QChar::ReplacementCharacter;
    return text;
}

QJsonArray failedCategoriesJson(const QList<CategoryFailure>& failures)
{
    QJsonArray out;
    for (const CategoryFailure& f : failures)
        out.append(QJsonObject{{QStringLiteral("category"), f.categoryID}, {QStringLiteral("reason"), f.reason}});
    return out;
}

QString formatDuration(double seconds)
{
    const auto total = static_cast<qint64>(seconds + 0.5);
    const qint64 h = total / 3600, m = (total % 3600) / 60, s = total % 60;
    if (h > 0)
        return QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

QString formatSpeed(double bytesPerSecond)
{
    return formatFileSize(static_cast<std::uint64_t>(bytesPerSecond > 0 ? bytesPerSecond : 0)) + QStringLiteral("/s");
}

Reporter::Reporter(Mode mode, FILE* out) : m_mode(mode), m_out(out) {}

Reporter::Mode Reporter::detect(bool json)
{
    if (json)
        return Mode::json;
    return fs::isTerminal(stdout) ? Mode::terminal : Mode::plain;
}

void Reporter::writeLine(const QString& line)
{
    clearBar();
    std::fputs(withoutEscapes(wordedForHome(line, m_layout)).toUtf8().constData(), m_out);
    std::fputc('\n', m_out);
    std::fflush(m_out);
}

void Reporter::clearBar()
{
    if (!m_barShown)
        return;
    std::fputs("\r\033[2K", m_out);
    m_barShown = false;
}

namespace {

// The human texts inside an event ("reason", "error", ...) speak of the home's kind of
// machine like every other line; names, paths and identifiers are left as they are.
QJsonObject wordedFields(QJsonObject fields, HomeLayoutKind layout)
{
    static const QSet<QString> human = {QStringLiteral("error"), QStringLiteral("message"), QStringLiteral("reason"),
                                        QStringLiteral("text")};
    // Lists of sentences, as the checks report them.
    static const QSet<QString> humanLists = {QStringLiteral("blockers"), QStringLiteral("warnings")};
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        if (it->isString() && human.contains(it.key())) {
            *it = wordedForHome(it->toString(), layout);
        } else if (it->isObject()) {
            *it = wordedFields(it->toObject(), layout);
        } else if (it->isArray()) {
            QJsonArray items = it->toArray();
            for (auto item = items.begin(); item != items.end(); ++item)
                if (item->isObject())
                    *item = wordedFields(item->toObject(), layout);
                else if (item->isString() && humanLists.contains(it.key()))
                    *item = wordedForHome(item->toString(), layout);
            *it = items;
        }
    }
    return fields;
}

} // namespace

void Reporter::event(const QString& name, QJsonObject fields, const QString& humanLine)
{
    if (m_mode == Mode::json) {
        if (m_layout != HomeLayoutKind::MacOS)
            fields = wordedFields(std::move(fields), m_layout);
        if (name == QLatin1String("error"))
            failureRecord().errorEventSent = true;
        fields.insert(QStringLiteral("event"), name);
        std::fputs(QJsonDocument(fields).toJson(QJsonDocument::Compact).constData(), m_out);
        std::fputc('\n', m_out);
        std::fflush(m_out);
        return;
    }
    if (!humanLine.isEmpty())
        writeLine(humanLine);
}

void Reporter::progress(const ProgressSnapshot& p)
{
    const bool force = p.isFinal;
    const qint64 interval = m_mode == Mode::json ? kJsonProgressIntervalMs
                          : m_mode == Mode::terminal ? kBarIntervalMs : kPlainIntervalMs;
    if (!force && m_sinceProgress.isValid() && m_sinceProgress.elapsed() < interval)
        return;
    m_sinceProgress.start();

    const double fraction = p.totalBytes ? double(p.bytes) / double(p.totalBytes) : (p.totalFiles ? 1.0 : 0.0);
    const QString remaining = p.secondsRemaining ? formatDuration(*p.secondsRemaining) : QStringLiteral("--:--");
    if (m_mode == Mode::json) {
        QJsonObject o{{QStringLiteral("bytes"), double(p.bytes)},
                      {QStringLiteral("totalBytes"), double(p.totalBytes)},
                      {QStringLiteral("files"), p.files},
                      {QStringLiteral("totalFiles"), p.totalFiles},
                      {QStringLiteral("bytesPerSecond"), p.bytesPerSecond},
                      {QStringLiteral("currentFile"), p.currentFile},
                      {QStringLiteral("verifying"), p.verifying}};
        if (p.secondsRemaining)
            o.insert(QStringLiteral("secondsRemaining"), *p.secondsRemaining);
        event(QStringLiteral("progress"), o);
        return;
    }
    const QString figures = QStringLiteral("%1/%2  %3/%4 files  %5  %6 left")
                                .arg(formatFileSize(p.bytes), formatFileSize(p.totalBytes))
                                .arg(p.files)
                                .arg(p.totalFiles)
                                .arg(formatSpeed(p.bytesPerSecond), remaining);
    if (m_mode == Mode::plain) {
        writeLine(QStringLiteral("progress %1%  %2").arg(int(fraction * 100)).arg(figures));
        return;
    }
    constexpr int barWidth = 28;
    const int filled = static_cast<int>(fraction * barWidth);
    const QString bar = QString(filled, u'█') + QString(barWidth - filled, u'░');
    const QString what = p.verifying ? QStringLiteral("verifying…") : elide(p.currentFile, 28);
    const QString line = QStringLiteral("\r\033[2K%1 %2%  %3  %4").arg(bar).arg(int(fraction * 100), 3).arg(figures, what);
    std::fputs(line.toUtf8().constData(), m_out);
    std::fflush(m_out);
    m_barShown = true;
}

void Reporter::steps(int done, int total, const QString& current)
{
    if (m_mode != Mode::terminal || total <= 0)
        return;
    constexpr int barWidth = 28;
    const int filled = done * barWidth / total;
    const QString bar = QString(filled, u'█') + QString(barWidth - filled, u'░');
    const QString line = QStringLiteral("\r\033[2K%1 %2%  %3/%4  %5")
                             .arg(bar)
                             .arg(done * 100 / total, 3)
                             .arg(done)
                             .arg(total)
                             .arg(elide(current, 40));
    std::fputs(line.toUtf8().constData(), m_out);
    std::fflush(m_out);
    m_barShown = true;
}

void Reporter::summary(const TransferSummary& s)
{
    const QString role = toString(s.role);
    const double speed = s.durationSeconds > 0 ? double(s.bytes) / s.durationSeconds : 0;
    if (m_mode == Mode::json) {
        QJsonObject o{{QStringLiteral("role"), role},
                      {QStringLiteral("filesCompleted"), s.filesCompleted},
                      {QStringLiteral("totalFiles"), s.totalFiles},
                      {QStringLiteral("bytes"), double(s.bytes)},
                      {QStringLiteral("durationSeconds"), s.durationSeconds},
                      {QStringLiteral("bytesPerSecond"), speed},
                      {QStringLiteral("skipped"), s.skipped},
                      {QStringLiteral("failed"), s.failed},
                      {QStringLiteral("verified"), s.verified},
                      {QStringLiteral("mismatches"), QJsonArray::fromStringList(s.mismatches)},
                      {QStringLiteral("conflictsResolved"), s.conflictsResolved},
                      {QStringLiteral("cancelled"), s.cancelled}};
        if (!s.error.isEmpty())
            o.insert(QStringLiteral("error"), s.error);
        QJsonArray notTransferred;
        for (const FileProblem& p : s.notTransferred)
            notTransferred.append(QJsonObject{{QStringLiteral("path"), p.path},
                                              {QStringLiteral("reason"), p.reason},
                                              {QStringLiteral("status"), p.failed ? QStringLiteral("failed")
                                                                                  : QStringLiteral("skipped")}});
        o.insert(QStringLiteral("notTransferred"), notTransferred);
        o.insert(QStringLiteral("failedCategories"), failedCategoriesJson(s.categoryFailures));
        event(QStringLiteral("summary"), o);
        return;
    }
    QString status = QStringLiteral("Migration complete");
    if (s.cancelled)
        status = QStringLiteral("Migration cancelled");
    else if (failureOf(s))
        status = QStringLiteral("Migration finished with issues");
    writeLine(QString());
    writeLine(status);
    writeLine(QStringLiteral("  Files        %1 of %2").arg(s.filesCompleted).arg(s.totalFiles));
    writeLine(QStringLiteral("  Data         %1").arg(formatFileSize(s.bytes)));
    writeLine(QStringLiteral("  Duration     %1 (%2 mean)").arg(formatDuration(s.durationSeconds), formatSpeed(speed)));
    writeLine(QStringLiteral("  Skipped      %1").arg(s.skipped));
    writeLine(QStringLiteral("  Failed       %1").arg(s.failed));
    writeLine(QStringLiteral("  Verified     %1").arg(s.verified));
    writeLine(QStringLiteral("  Mismatches   %1").arg(s.mismatches.size()));
    for (const QString& m : s.mismatches)
        writeLine(QStringLiteral("    ") + m);
    if (!s.notTransferred.isEmpty())
        writeLine(QStringLiteral("  Not transferred %1").arg(s.notTransferred.size()));
    for (const FileProblem& p : s.notTransferred)
        writeLine(QStringLiteral("    %1 (%2)").arg(p.path, p.reason));
    for (const CategoryFailure& f : s.categoryFailures)
        writeLine(QStringLiteral("  Not imported %1").arg(f.name));
    if (s.conflictsResolved > 0)
        writeLine(QStringLiteral("  Conflicts    %1 resolved").arg(s.conflictsResolved));
}

void Reporter::error(const QString& text)
{
    clearBar();
    std::fflush(m_out);
    printError(wordedForHome(text, m_layout));
}

void printError(const QString& text)
{
    const QString line = withoutEscapes(text);
    std::fputs(line.toUtf8().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    failureRecord().lastError = line;
}

void emitOwedErrorEvent(int exitCode, FILE* out)
{
    if (exitCode == exitSuccess || failureRecord().errorEventSent)
        return;
    if (failureRecord().lastError.isEmpty())
        printError(QStringLiteral("kivo-cli: ") + exitCodeMeaning(exitCode));
    Reporter(Reporter::Mode::json, out)
        .event(QStringLiteral("error"), {{QStringLiteral("text"), failureRecord().lastError}, {QStringLiteral("exitCode"), exitCode}});
}

} // namespace kivo::cli
