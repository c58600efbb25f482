// SPDX-License-Identifier: Apache-2.0
#include "preflight/AppCompatibilityManager.h"

#include "categories/LinuxAppData.h"
#include "categories/SizeCalculator.h"
#include "platform/DirectoryEntries.h"
#include "platform/HttpClient.h"
#include "platform/Json.h"
#include "platform/Logging.h"
#include "preflight/ExecutableArchitectures.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QPointer>
#include <QSet>
#include <QUrlQuery>
#include <QtConcurrent>

#include <QCoroFuture>

#include <algorithm>

namespace kivo {

namespace {

const char* const kNotApplications[] = {"Apple",        "com.apple", "AddressBook", "CallHistoryDB",
                                        "CrashReporter", "SyncServices", "Knowledge", ".CFUserTextEncoding"};

bool isExcludedDataName(const QString& name)
{
    for (const char* n : kNotApplications)
        if (name == QLatin1String(n))
            return true;
    return name.startsWith(QLatin1String("com.apple."));
}

std::optional<QString> bundleIdOf(const QString& dataName)
{
    return dataName.contains(u'.') ? std::optional<QString>(dataName) : std::nullopt;
}

struct Installed {
    QSet<QString> bundleIDs;
    QSet<QString> names;
    QList<InstalledAppSummary> summaries;
};

Installed findInstalled(const ApplicationFolders& folders)
{
    Installed out;
    for (const InstalledApplication& app : installedApplications(folders)) {
        out.bundleIDs.insert(app.bundleID);
        if (!app.isDesktopEntry) {
            QString base = app.path.section(u'/', -1);
            if (base.endsWith(QLatin1String(".app")))
                base.chop(4);
            out.names.insert(base);
        } else {
            out.names.insert(app.name);
        }
        out.summaries.append({app.bundleID, app.name,
                              app.executablePath.isEmpty() ? QStringList() : executableArchitectures(app.executablePath)});
    }
    return out;
}

// A Library's data is matched to the installed bundles and desktop entries by
// identifier or name; the table's apps came with their status.
QList<AppCompatibilityEntry> gatherAll(const QString& home, const Installed& installed)
{
    QList<AppCompatibilityEntry> entries = gatherDataEntries(home);
    for (AppCompatibilityEntry& e : entries) {
        const bool isInstalled = (e.bundleID && installed.bundleIDs.contains(*e.bundleID)) || installed.names.contains(e.appName);
        e.status = isInstalled ? AppCompatibilityEntry::Status::installed : AppCompatibilityEntry::Status::missing;
    }
    return entries + gatherLinuxDataEntries(home);
}

// Outside the coroutine: a lambda built inside one is destroyed twice by this compiler.
QFuture<std::pair<QList<AppCompatibilityEntry>, Installed>> startGathering(QString home, ApplicationFolders folders)
{
    return QtConcurrent::run([home = std::move(home), folders = std::move(folders)] {
        Installed installed = findInstalled(folders);
        QList<AppCompatibilityEntry> entries = gatherAll(home, installed);
        return std::make_pair(std::move(entries), std::move(installed));
    });
}

} // namespace

QString toString(AppCompatibilityEntry::Status status)
{
    switch (status) {
    case AppCompatibilityEntry::Status::installed: return QStringLiteral("installed");
    case AppCompatibilityEntry::Status::missing: return QStringLiteral("missing");
    case AppCompatibilityEntry::Status::versionMismatch: return QStringLiteral("versionMismatch");
    }
    return QStringLiteral("missing");
}

QString toString(AppCompatibilityEntry::UserChoice choice)
{
    switch (choice) {
    case AppCompatibilityEntry::UserChoice::skip: return QStringLiteral("skip");
    case AppCompatibilityEntry::UserChoice::transferAnyway: return QStringLiteral("transferAnyway");
    case AppCompatibilityEntry::UserChoice::install: return QStringLiteral("install");
    }
    return QStringLiteral("transferAnyway");
}

QJsonObject AppCompatibilityEntry::toJson() const
{
    QJsonObject o{{QStringLiteral("appName"), appName},
                  {QStringLiteral("dataSize"), double(dataSize)},
                  {QStringLiteral("dataPath"), dataPath},
                  {QStringLiteral("status"), toString(status)},
                  {QStringLiteral("userChoice"), toString(userChoice)}};
    json::put(o, "bundleID", bundleID);
    if (storeURL)
        o.insert(QStringLiteral("storeURL"), storeURL->toString());
    return o;
}

QJsonObject InstalledAppSummary::toJson() const
{
    return {{QStringLiteral("bundleID"), bundleID},
            {QStringLiteral("name"), name},
            {QStringLiteral("architectures"), json::toArray(architectures)}};
}

QString friendlyAppName(const QString& dataName)
{
    static const QMap<QString, QString> friendly{{QStringLiteral("VSCode"), QStringLiteral("Visual Studio Code")},
                                                 {QStringLiteral("vlc"), QStringLiteral("VLC")},
                                                 {QStringLiteral("iterm2"), QStringLiteral("iTerm 2")},
                                                 {QStringLiteral("1password"), QStringLiteral("1Password")}};
    const QStringList pieces = dataName.split(u'.', Qt::SkipEmptyParts);
    const QString last = pieces.isEmpty() ? dataName : pieces.last();
    return friendly.value(last, last);
}

QList<AppCompatibilityEntry> gatherDataEntries(const QString& homeFolder)
{
    // Keyed by data name, so a preference domain joins its support folder.
    QMap<QString, AppCompatibilityEntry> byName;
    const QString support = homeFolder + QStringLiteral("/Library/Application Support");
    for (const fs::DirectoryEntry& e : fs::listDirectory(support, false).value_or(QList<fs::DirectoryEntry>())) {
        if (!e.status.isDirectory() || isExcludedDataName(e.name))
            continue;
        AppCompatibilityEntry& entry = byName[e.name];
        entry.appName = friendlyAppName(e.name);
        entry.bundleID = bundleIdOf(e.name);
        entry.dataPath = QStringLiteral("~/Library/Application Support/") + e.name;
        entry.dataPaths.append(entry.dataPath);
        entry.dataSize += sizeOfDirectory(support + QLatin1Char('/') + e.name);
    }
    const QString preferences = homeFolder + QStringLiteral("/Library/Preferences");
    for (const fs::DirectoryEntry& e : fs::listDirectory(preferences, false).value_or(QList<fs::DirectoryEntry>())) {
        if (!e.status.isRegular() || !e.name.endsWith(QLatin1String(".plist"))
            || e.name.startsWith(QLatin1String("com.apple.")) || e.name.startsWith(QLatin1String(".Global")))
            continue;
        const QString domain = e.name.chopped(6);
        const bool known = byName.contains(domain);
        AppCompatibilityEntry& entry = byName[domain];
        if (!known) {
            entry.appName = friendlyAppName(domain);
            entry.bundleID = bundleIdOf(domain);
            entry.dataPath = QStringLiteral("~/Library/Preferences/") + e.name;
        }
        entry.dataPaths.append(QStringLiteral("~/Library/Preferences/") + e.name);
        entry.dataSize += e.status.size;
    }
    return byName.values();
}

QList<AppCompatibilityEntry> gatherLinuxDataEntries(const QString& homeFolder)
{
    const LinuxInstalls installs = scanLinuxInstalls(linuxInstallRootsFor(homeFolder));
    QList<AppCompatibilityEntry> out;
    for (const LinuxApp& app : LinuxAppCatalog::shipped().apps()) {
        // A browser's data is the browsers' category's, never an application's.
        if (app.browser)
            continue;
        const QStringList folders = appDataFolders(homeFolder, app);
        if (folders.isEmpty())
            continue;
        AppCompatibilityEntry entry;
        entry.appName = app.name;
        entry.dataPath = folders.first();
        entry.dataPaths = folders;
        entry.dataSize = SizeCalculator::sizeOfPaths(folders, homeFolder);
        const bool installed = installedFormatsOf(app, installs).any();
        entry.status = installed ? AppCompatibilityEntry::Status::installed : AppCompatibilityEntry::Status::missing;
        // No store to ask: a Flatpak's page is known by its id.
        if (!installed && !app.flatpakId.isEmpty())
            entry.storeURL = QUrl(QStringLiteral("https://flathub.org/apps/") + app.flatpakId);
        out.append(std::move(entry));
    }
    return out;
}

std::optional<QUrl> storePageIn(const QByteArray& answer)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(answer, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonArray results = doc.object().value(QLatin1String("results")).toArray();
    if (results.isEmpty())
        return std::nullopt;
    const QString text = results.first().toObject().value(QLatin1String("trackViewUrl")).toString();
    const QUrl url(text, QUrl::StrictMode);
    // A page the user may be sent to: nothing but a web address.
    if (!url.isValid() || url.host().isEmpty()
        || (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http")))
        return std::nullopt;
    return url;
}

StoreSettings StoreSettings::resolve(const std::optional<QString>& flag, bool offline)
{
    StoreSettings s;
    if (offline) {
        s.baseUrl.reset();
        return s;
    }
    const QString configured = flag.value_or(qEnvironmentVariable("KIVO_STORE_URL"));
    if (!configured.isEmpty())
        s.baseUrl = QUrl(configured);
    return s;
}

AppCompatibilityManager::AppCompatibilityManager(QString homeFolder, ApplicationFolders folders, StoreSettings store,
                                                 QObject* parent)
    : QObject(parent),
      m_home(std::move(homeFolder)),
      m_folders(std::move(folders)),
      m_store(std::move(store))
{
}

AppCompatibilityManager::~AppCompatibilityManager() = default;

bool AppCompatibilityManager::hasIncompatibilities() const
{
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [](const AppCompatibilityEntry& e) { return e.status != AppCompatibilityEntry::Status::installed; });
}

QList<AppCompatibilityEntry> AppCompatibilityManager::missingApps() const
{
    QList<AppCompatibilityEntry> out;
    for (const AppCompatibilityEntry& e : m_entries)
        if (e.status == AppCompatibilityEntry::Status::missing)
            out.append(e);
    return out;
}

void AppCompatibilityManager::setScanning(bool scanning)
{
    if (m_isScanning == scanning)
        return;
    m_isScanning = scanning;
    Q_EMIT isScanningChanged();
}

QCoro::Task<std::optional<QUrl>> AppCompatibilityManager::lookUp(QString bundleID)
{
    HttpRequest request;
    QUrl url = *m_store.baseUrl;
    url.setPath(url.path().endsWith(u'/') ? url.path() + QStringLiteral("lookup") : url.path() + QStringLiteral("/lookup"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("bundleId"), bundleID);
    query.addQueryItem(QStringLiteral("entity"), QStringLiteral("macSoftware"));
    url.setQuery(query);
    request.url = url;
    request.timeout = m_store.timeout;
    request.maxResponseBytes = 1024 * 1024;
    const HttpResponse response = co_await sendHttpRequest(request);
    if (!response.hasStatus()) {
        m_storeReachable = false;
        qCWarning(lcAppCompat).noquote() << QStringLiteral("App Store lookup failed for %1: %2").arg(bundleID, response.error);
        co_return std::nullopt;
    }
    m_storeReachable = true;
    if (!response.isSuccess()) {
        qCWarning(lcAppCompat).noquote()
            << QStringLiteral("App Store lookup failed for %1: %2")
                   .arg(bundleID, response.bodyTooLarge ? QStringLiteral("answer too large")
                                                        : QStringLiteral("HTTP status %1").arg(response.status));
        co_return std::nullopt;
    }
    co_return storePageIn(response.body);
}

QCoro::Task<void> AppCompatibilityManager::scan()
{
    QPointer<AppCompatibilityManager> self(this);
    setScanning(true);
    m_storeReachable.reset();
    auto gathered = co_await startGathering(m_home, m_folders);
    QList<AppCompatibilityEntry>& entries = gathered.first;
    Installed& installed = gathered.second;
    if (!self)
        co_return;
    // One lookup at a time; once the store cannot be reached, nobody else is asked.
    for (AppCompatibilityEntry& e : entries) {
        if (e.status != AppCompatibilityEntry::Status::missing || !e.bundleID || !m_store.baseUrl
            || m_storeReachable == false)
            continue;
        e.storeURL = co_await lookUp(*e.bundleID);
        if (!self)
            co_return;
    }
    std::stable_sort(entries.begin(), entries.end(), [](const AppCompatibilityEntry& a, const AppCompatibilityEntry& b) {
        const bool aMissing = a.status == AppCompatibilityEntry::Status::missing;
        const bool bMissing = b.status == AppCompatibilityEntry::Status::missing;
        if (aMissing != bMissing)
            return aMissing;
        return a.appName < b.appName;
    });
    m_installed = std::move(installed.summaries);
    m_entries = std::move(entries);
    for (AppCompatibilityEntry& e : m_entries)
        e.userChoice = choiceFor(e.identity());
    Q_EMIT entriesChanged();
    setScanning(false);
}

AppCompatibilityEntry::UserChoice AppCompatibilityManager::choiceFor(const QString& id) const
{
    using C = AppCompatibilityEntry::UserChoice;
    return m_choices.value(id, m_transferMissingByDefault ? C::transferAnyway : C::skip);
}

void AppCompatibilityManager::applyChoices()
{
    bool changed = false;
    for (AppCompatibilityEntry& e : m_entries) {
        const AppCompatibilityEntry::UserChoice choice = choiceFor(e.identity());
        changed = changed || e.userChoice != choice;
        e.userChoice = choice;
    }
    if (changed)
        Q_EMIT entriesChanged();
}

void AppCompatibilityManager::setTransferMissingByDefault(bool transfer)
{
    m_transferMissingByDefault = transfer;
    applyChoices();
}

void AppCompatibilityManager::setChoice(AppCompatibilityEntry::UserChoice choice, const QString& id)
{
    for (const AppCompatibilityEntry& e : std::as_const(m_entries))
        if (e.identity() == id) {
            m_choices.insert(id, choice);
            applyChoices();
            return;
        }
}

void AppCompatibilityManager::transferAllMissing()
{
    for (const AppCompatibilityEntry& e : std::as_const(m_entries))
        if (e.status == AppCompatibilityEntry::Status::missing)
            m_choices.insert(e.identity(), AppCompatibilityEntry::UserChoice::transferAnyway);
    applyChoices();
}

void AppCompatibilityManager::skipAllMissing()
{
    for (const AppCompatibilityEntry& e : std::as_const(m_entries))
        if (e.status == AppCompatibilityEntry::Status::missing)
            m_choices.insert(e.identity(), AppCompatibilityEntry::UserChoice::skip);
    applyChoices();
}

} // namespace kivo
