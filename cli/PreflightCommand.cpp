// SPDX-License-Identifier: Apache-2.0
#include "cli/PreflightCommand.h"
#include "cli/Invocation.h"

#include "app/AppState.h"
#include "app/DeveloperToolsPolicy.h"
#include "app/SendFlow.h"
#include "categories/CategoryProfile.h"
#include "categories/DataCategory.h"
#include "categories/DataCategoryManager.h"
#include "categories/HomeFolderScanner.h"
#include "managed/ConfigurationProfileManager.h"
#include "platform/ByteCount.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Json.h"
#include "preflight/AppCompatibilityManager.h"
#include "preflight/ScanFigures.h"
#include "preflight/SpaceValidator.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

namespace kivo::cli {

namespace {

constexpr qint64 kProgressIntervalMs = 250;

// A line for people; nothing with --json, where the one preflight event carries it all.
void say(Reporter& out, const QString& text)
{
    if (!out.isJson())
        out.event({}, {}, text);
}

template <typename T>
QJsonArray arrayOf(const QList<T>& records)
{
    QJsonArray out;
    for (const T& r : records)
        out.append(r.toJson());
    return out;
}

// The user's folders the folder picker would list, by name only: the scan sizes them on its way.
QStringList homeFolderNames(const QString& home, HomeLayoutKind layout)
{
    QStringList names;
    for (const QString& name : QDir(home).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        if (!HomeLayout::of(layout).excludedNames.contains(name))
            names << name;
    return names;
}

// What the selection screen asks for: the categories, and the user's folders as "~/" paths.
std::optional<QString> select(AppState& state, const PreflightOptions& o, QStringList& userFolders)
{
    QStringList known;
    const HomeLayout& layout = HomeLayout::of(state.homeLayout());
    for (const DataCategory& c : layout.categories)
        known << c.id;
    // Left to the defaults, the profile narrows the selection without a word.
    QStringList allowed;
    for (const QString& id : std::as_const(known))
        if (state.profileManager()->isCategoryAllowed(id))
            allowed << id;
    const QStringList categories = o.categories.value_or(allowed);
    if (const auto problem = SendFlow::unknownCategory(categories, known))
        return problem;
    const QStringList available = homeFolderNames(o.home, layout.kind);
    const QStringList defaults = layout.defaultFolderNamesFor(o.home);
    if (o.folders) {
        if (const auto problem = SendFlow::unknownFolder(*o.folders, available, o.home))
            return problem;
    }
    for (const QString& name : available)
        if (o.folders ? o.folders->contains(name) : defaults.contains(name))
            userFolders << QStringLiteral("~/") + name;
    DataCategoryManager* manager = state.categoryManager();
    manager->loadCategories(CategoryProfile{});
    for (const DataCategory& c : QList<DataCategory>(manager->categories()))
        if (c.isSelected != categories.contains(c.id))
            manager->toggleCategory(c.id);
    return std::nullopt;
}

void showSizes(const DataCategoryManager& manager, Reporter& out)
{
    for (const DataCategory& c : manager.selectedCategories())
        say(out, QStringLiteral("%1: %2").arg(c.displayName, formatFileSize(c.estimatedSize)));
}

void showApps(const AppCompatibilityManager& apps, Reporter& out)
{
    const QList<AppCompatibilityEntry> missing = apps.missingApps();
    say(out, QStringLiteral("App Compatibility"));
    if (missing.isEmpty()) {
        say(out, QStringLiteral("All apps with data are installed on this Mac."));
        return;
    }
    say(out, QStringLiteral("Apps with data on the source Mac that are not installed on this Mac."));
    for (const AppCompatibilityEntry& e : missing)
        say(out, QStringLiteral("  %1 (%2)%3").arg(e.appName, formatFileSize(e.dataSize),
                                                           e.storeURL ? QStringLiteral(" — ") + e.storeURL->toString()
                                                                      : QString()));
}

void showSpace(const SpaceValidator& space, Reporter& out)
{
    if (space.queryFailed()) {
        say(out, SpaceValidator::queryFailedMessage());
        return;
    }
    for (const QString& line : space.result()->messages())
        say(out, line);
}

QJsonObject preflightEvent(const AppState& state)
{
    const SpaceValidator& space = *state.spaceValidator();
    const AppCompatibilityManager& apps = *state.appCompatibility();
    QJsonObject spaceJson{{QStringLiteral("queryFailed"), space.queryFailed()},
                          {QStringLiteral("result"), space.result() ? QJsonValue(space.result()->toJson()) : QJsonValue()}};
    const std::optional<QUrl>& storeUrl = apps.store().baseUrl;
    const std::optional<bool> reachable = apps.storeReachable();
    QJsonObject store{{QStringLiteral("url"), storeUrl ? QJsonValue(storeUrl->toString()) : QJsonValue()},
                      {QStringLiteral("reachable"), reachable ? QJsonValue(*reachable) : QJsonValue()}};
    return {{QStringLiteral("checks"), state.preflightChecker()->result().toJson()},
            {QStringLiteral("space"), spaceJson},
            {QStringLiteral("apps"), arrayOf(apps.entries())},
            {QStringLiteral("installedApps"), arrayOf(apps.installedApps())},
            {QStringLiteral("store"), store},
            {QStringLiteral("report"), state.preFlightReport() ? QJsonValue(state.preFlightReport()->toJson()) : QJsonValue()}};
}

QCoro::Task<int> preflight(AppState& state, PreflightOptions o, Reporter& out)
{
    QStringList userFolders;
    if (const auto problem = select(state, o, userFolders)) {
        out.error(usageErrorText(QStringLiteral("preflight"), *problem).chopped(1));
        co_return exitUsage;
    }
    if (o.categories)
        if (const auto refusal = categoryPolicyRefusal(*o.categories, state.profileManager()->categoryProfile(), true,
                                                           state.homeLayout())) {
            out.error(refusal->text);
            co_return exitRefused;
        }
    DataCategoryManager* manager = state.categoryManager();
    co_await state.appCompatibility()->scan();

    // One walk serves the sizes, the placeholder check and the report; what
    // it found is shown in the order of the screens.
    QElapsedTimer sinceProgress;
    QObject::connect(&state, &AppState::preFlightScanProgress, &state, [&](qint64 files, quint64 bytes) {
        if (sinceProgress.isValid() && sinceProgress.elapsed() < kProgressIntervalMs)
            return;
        sinceProgress.start();
        out.event(QStringLiteral("scanProgress"), {{QStringLiteral("files"), double(files)}, {QStringLiteral("bytes"), double(bytes)}});
    });
    co_await state.runPreFlightScan(userFolders);
    QObject::disconnect(&state, &AppState::preFlightScanProgress, &state, nullptr);
    const PreFlightReport& report = *state.preFlightReport();
    out.event(QStringLiteral("scanProgress"),
              {{QStringLiteral("files"), double(report.totalFiles)}, {QStringLiteral("bytes"), double(report.totalBytes)}});

    applyScanSizes(*manager, report);
    showSizes(*manager, out);
    showApps(*state.appCompatibility(), out);

    const PreflightSettings& settings = state.preflightSettings();
    const QString destination = settings.destinationHome.value_or(o.home);
    const std::uint64_t selectionSize = manager->totalSelectedSize();
    state.spaceValidator()->validate(selectionSize, destination, settings.destinationFreeBytes);
    showSpace(*state.spaceValidator(), out);

    PreflightInputs inputs = state.readinessInputs();
    inputs.placeholders = placeholdersFromScan(report, o.home);
    co_await state.preflightChecker()->run(std::move(inputs));
    const PreflightResult checks = state.preflightChecker()->result();
    showChecks(checks, out);

    showReport(report, HomeLayout::of(state.homeLayout()), out);
    out.event(QStringLiteral("preflight"), preflightEvent(state));

    if (o.flags.exportPath && exportReport(report, *o.flags.exportPath, out))
        co_return exitTransferFailed;
    if (checks.blockers.isEmpty())
        co_return exitSuccess;
    // On stderr too, as send says them: whoever reads only the outcome learns why.
    out.error(checks.blockers.join(u'\n'));
    co_return exitRefused;
}

} // namespace

PreflightSettings preflightSettingsFrom(const PreflightFlags& flags, bool destinationIsLocal)
{
    PreflightSettings s;
    if (flags.connection)
        s.connectionType = connectionTypeFromString(*flags.connection).value_or(ConnectionType::wifi);
    s.includeDerived = flags.includeDerived;
    s.destinationHome = flags.destinationHome;
    s.destinationFreeBytes = flags.destinationFreeBytes;
    s.destinationIsLocal = destinationIsLocal;
    return s;
}

QString exportFileFor(const QString& target, const QDateTime& generatedAt)
{
    if (!QFileInfo(target).isDir())
        return target;
    return target + QStringLiteral("/kivo-preflight-") + generatedAt.toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss"))
         + QStringLiteral(".json");
}

std::optional<QString> exportReport(const PreFlightReport& report, const QString& target, Reporter& out)
{
    const QString file = exportFileFor(target, report.generatedAt);
    try {
        fs::writeFileAtomically(file, json::toFileBytes(report.toJson()));
    } catch (const SystemError& e) {
        const QString failure = QStringLiteral("Export failed: ") + e.description();
        out.error(failure);
        return failure;
    }
    out.event(QStringLiteral("exported"), {{QStringLiteral("path"), file}}, QStringLiteral("Exported pre-flight summary to %1").arg(file));
    return std::nullopt;
}

void showChecks(const PreflightResult& checks, Reporter& out)
{
    for (const QString& b : checks.blockers)
        say(out, QStringLiteral("Blocker: ") + b);
    for (const QString& w : checks.warnings)
        say(out, QStringLiteral("Warning: ") + w);
    if (checks.blockers.isEmpty() && checks.warnings.isEmpty())
        say(out, QStringLiteral("All checks passed."));
}

void showReport(const PreFlightReport& r, const HomeLayout& layout, Reporter& out)
{
    say(out, QStringLiteral("Pre-flight summary: %1 files, %2; estimated %3 s over %4")
                          .arg(r.totalFiles)
                          .arg(formatFileSize(r.totalBytes))
                          .arg(r.estimatedSeconds)
                          .arg(toString(r.connectionType)));
    for (const CategorySummary& c : r.categories)
        say(out, QStringLiteral("  %1: %2 files, %3%4")
                              .arg(layout.displayNameFor(c.category))
                              .arg(c.fileCount)
                              .arg(formatFileSize(c.totalBytes), c.details ? QStringLiteral(" (") + *c.details + u')' : QString()));
    if (!r.exclusions.isEmpty())
        say(out, QStringLiteral("Left out, %1 files, %2:").arg(r.excludedFiles).arg(formatFileSize(r.excludedBytes)));
    for (const ExclusionSummary& e : r.exclusions)
        say(out, QStringLiteral("  %1 (%2 files, %3)%4 — %5")
                              .arg(e.path)
                              .arg(e.fileCount)
                              .arg(formatFileSize(e.totalBytes),
                                   e.parentProject ? QStringLiteral(" in ") + *e.parentProject : QString(),
                                   e.regenerationHint));
    for (const QString& kept : r.keptFolders)
        say(out, QStringLiteral("  Kept %1").arg(kept));
    for (const GhostFileSummary& g : r.ghostFiles)
        say(out, QStringLiteral("%1 placeholders: %2").arg(g.provider).arg(g.count));
    for (const StagedPrefSummary& s : r.stagedPrefs)
        say(out, QStringLiteral("Staged preferences: %1, %2 files").arg(s.appName).arg(s.fileCount));
    for (const ConflictSummary& c : r.conflicts)
        say(out, QStringLiteral("Exists on the destination: %1 (%2 here, %3 there)")
                              .arg(c.path, formatFileSize(c.sourceSize), formatFileSize(c.destSize)));
}

int runPreflight(const PreflightOptions& o)
{
    Reporter out(Reporter::detect(o.json));
    SessionEnvironment environment{o.home, {}, {}, 0};
    environment.layout = o.layout;
    AppState state(environment);
    out.speakFor(state.homeLayout());
    state.setDeviceRole(DeviceRole::source);
    state.setPreflightSettings(preflightSettingsFrom(o.flags, true));
    state.appCompatibility()->setStore(StoreSettings::resolve(o.flags.storeUrl, o.flags.offline));
    std::optional<int> result;
    QEventLoop loop;
    auto drive = [&]() -> QCoro::Task<void> {
        try {
            result = co_await preflight(state, o, out);
        } catch (const std::exception& e) {
            out.error(describe(e));
            result = exitTransferFailed;
        }
        loop.quit();
    };
    auto running = drive();
    if (!result)
        loop.exec();
    return *result;
}

} // namespace kivo::cli
