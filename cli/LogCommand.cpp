// SPDX-License-Identifier: Apache-2.0
#include "cli/LogCommand.h"

#include "cli/ArgumentParser.h"
#include "cli/CliOptions.h"
#include "cli/Invocation.h"
#include "cli/Reporter.h"
#include "log/MigrationLogger.h"
#include "managed/ConfigurationProfileManager.h"
#include "platform/ByteCount.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Json.h"
#include "platform/SmallFiles.h"

#include <QDir>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>

namespace kivo::cli {

namespace {

constexpr qint64 kMaxLogBytes = 64 * 1024 * 1024;

void print(const QByteArray& bytes) { std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout); }

QJsonObject listEntry(const MigrationLog& log)
{
    return {{QStringLiteral("id"), log.id},
            {QStringLiteral("timestampStart"), json::formatDate(log.timestampStart)},
            {QStringLiteral("overallStatus"), toString(log.overallStatus)},
            {QStringLiteral("sourceHostname"), log.sourceHostname},
            {QStringLiteral("destinationHostname"), log.destinationHostname},
            {QStringLiteral("totalBytesTransferred"), double(log.totalBytesTransferred)}};
}

int unknownLog(const QString& id, const MigrationLogger& logger)
{
    std::fprintf(stderr, "kivo-cli: no migration log \"%s\" in %s\n", qPrintable(id), qPrintable(logger.logsDirectory()));
    return exitUnknownLog;
}

// KIVO_LOG_POST_TIMEOUT_MS shortens the wait, for endpoints known to be near.
std::chrono::milliseconds postTimeout()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("KIVO_LOG_POST_TIMEOUT_MS", &ok);
    return ok && ms > 0 ? std::chrono::milliseconds(ms) : std::chrono::milliseconds(60000);
}

int list(const MigrationLogger& logger, bool json)
{
    Reporter out(Reporter::detect(json));
    // Host names came from the peer: shown, never interpreted by the terminal.
    for (const MigrationLog& log : logger.allLogs())
        out.event(QStringLiteral("log"), listEntry(log),
                  QStringLiteral("%1  %2  %3  %4 → %5  %6")
                      .arg(log.id, json::formatDate(log.timestampStart), toString(log.overallStatus).leftJustified(10),
                           Reporter::shown(log.sourceHostname), Reporter::shown(log.destinationHostname),
                           formatFileSize(log.totalBytesTransferred)));
    return exitSuccess;
}

int show(const MigrationLogger& logger, const QString& id)
{
    const auto log = logger.find(id);
    if (!log)
        return unknownLog(id, logger);
    const auto bytes = fs::readRegularFile(logger.pathOf(log->id), kMaxLogBytes);
    if (!bytes)
        return unknownLog(id, logger);
    print(*bytes);
    return exitSuccess;
}

int exportAll(const MigrationLogger& logger, const std::optional<QString>& out)
{
    QByteArray lines;
    for (const MigrationLog& log : logger.allLogs())
        lines += QJsonDocument(log.toJson()).toJson(QJsonDocument::Compact) + '\n';
    if (!out) {
        print(lines);
        return exitSuccess;
    }
    try {
        fs::writeFileAtomically(*out, lines);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Export failed: %s\n", qPrintable(describe(e)));
        return exitTransferFailed;
    }
    return exitSuccess;
}

} // namespace

LogOptions parseLog(const QStringList& args)
{
    const auto [command, rest] = resolveSubcommand(QStringLiteral("log"), args);
    const ParsedArguments p = parseArguments(*command, rest);
    LogOptions o;
    const QString action = args.first();
    o.action = action == QLatin1String("show")     ? LogOptions::Action::show
             : action == QLatin1String("export")   ? LogOptions::Action::exportAll
             : action == QLatin1String("post")     ? LogOptions::Action::post
                                                   : LogOptions::Action::list;
    o.home = QDir::cleanPath(QDir(p.isSet(QStringLiteral("home")) ? p.value(QStringLiteral("home")) : QDir::homePath()).absolutePath());
    o.json = p.isSet(QStringLiteral("json"));
    if (p.isSet(QStringLiteral("out")))
        o.out = p.value(QStringLiteral("out"));
    o.pending = p.isSet(QStringLiteral("pending"));
    QStringList positional = p.positional();
    if (o.action == LogOptions::Action::show)
        o.id = positional.first();
    if (o.action == LogOptions::Action::post) {
        // With --pending the one word left is the URL.
        if (!o.pending) {
            if (positional.isEmpty())
                throw UsageError(QStringLiteral("missing ID|latest (or --pending)"));
            o.id = positional.takeFirst();
        }
        if (!positional.isEmpty())
            o.url = positional.takeFirst();
        if (!positional.isEmpty())
            throw UsageError(QStringLiteral("unexpected argument \"%1\"").arg(positional.first()));
    }
    return o;
}

int runLog(const LogOptions& o)
{
    MigrationLogger logger(MigrationLogger::logsDirectoryFor(o.home));
    switch (o.action) {
    case LogOptions::Action::list: return list(logger, o.json);
    case LogOptions::Action::show: return show(logger, o.id);
    case LogOptions::Action::exportAll: return exportAll(logger, o.out);
    case LogOptions::Action::post: break;
    }
    const std::optional<QUrl> url = o.url ? std::optional(QUrl(*o.url)) : logEndpointFromEnvironment();
    if (!url || !url->isValid() || (url->scheme() != QLatin1String("http") && url->scheme() != QLatin1String("https"))) {
        std::fputs(qPrintable(usageErrorText(QStringLiteral("log post"),
                                             QStringLiteral("needs an http or https URL (or KIVO_LOG_ENDPOINT)"))),
                   stderr);
        return exitUsage;
    }
    QStringList ids;
    if (o.pending) {
        ids = logger.pendingPosts();
    } else {
        const auto log = logger.find(o.id);
        if (!log)
            return unknownLog(o.id, logger);
        ids << log->id;
    }
    // Each outcome is printed below as one line; the network stack's own chatter is not.
    if (qEnvironmentVariableIsEmpty("KIVO_LOG_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("com.kivo.app.*=false\ndefault.warning=false\nqt.*=false"));
    bool allPosted = true;
    for (const QString& id : std::as_const(ids)) {
        std::optional<PostOutcome> outcome;
        QEventLoop loop;
        auto drive = [&]() -> QCoro::Task<void> {
            outcome = co_await logger.postStoredLog(id, *url, postTimeout());
            loop.quit();
        };
        auto running = drive();
        if (!outcome)
            loop.exec();
        allPosted = allPosted && outcome->posted;
        std::fprintf(outcome->posted ? stdout : stderr, "%s\n", qPrintable(outcome->message));
    }
    return allPosted ? exitSuccess : exitTransferFailed;
}

std::optional<QUrl> logEndpointFromEnvironment()
{
    // The configuration profile names it; the variable stands in where there is none.
    const ConfigurationProfileManager profile;
    if (const std::optional<QUrl>& fromProfile = profile.values().logMigrationsToEndpoint)
        return fromProfile;
    const QString text = qEnvironmentVariable("KIVO_LOG_ENDPOINT");
    if (text.isEmpty())
        return std::nullopt;
    return QUrl(text);
}

} // namespace kivo::cli
