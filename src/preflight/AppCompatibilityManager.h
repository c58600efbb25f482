// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/ByteCount.h"
#include "platform/InstalledApplications.h"

#include <QCoroTask>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantList>
#include <QVariantMap>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>


namespace kivo {

struct AppCompatibilityEntry {
    enum class Status { installed, missing, versionMismatch };
    enum class UserChoice { skip, transferAnyway, install };

    QString appName;
    std::optional<QString> bundleID;
    std::uint64_t dataSize = 0;
    QString dataPath; // "~/" form
    QStringList dataPaths; // every "~/" file and folder of its data, dataPath among them
    Status status = Status::missing;
    std::optional<QUrl> storeURL;
    UserChoice userChoice = UserChoice::transferAnyway;

    // The bundle identifier when there is one, else the name.
    QString identity() const { return bundleID.value_or(appName); }
    QJsonObject toJson() const;
    bool operator==(const AppCompatibilityEntry&) const = default;
};
QString toString(AppCompatibilityEntry::Status status);
QString toString(AppCompatibilityEntry::UserChoice choice);

// An installed application as the report lists it.
struct InstalledAppSummary {
    QString bundleID;
    QString name;
    QStringList architectures;
    QJsonObject toJson() const;
};

// The applications that have data in the home's Library, unsorted and with no
// status yet: Application Support folders and preference files, those of one
// name combined. Blocking.
QList<AppCompatibilityEntry> gatherDataEntries(const QString& homeFolder);
// The applications of the shipped table with data in a Linux home, each with
// its folders in every format and whether any format is installed here.
// Blocking.
QList<AppCompatibilityEntry> gatherLinuxDataEntries(const QString& homeFolder);
// The name shown for a data folder or preference domain.
QString friendlyAppName(const QString& dataName);
// The store page in a lookup answer: the first result's http(s) page, if any.
std::optional<QUrl> storePageIn(const QByteArray& lookupAnswer);

// Where missing applications are looked up; none: offline, nothing is asked.
struct StoreSettings {
    std::optional<QUrl> baseUrl = QUrl(QStringLiteral("https://itunes.apple.com"));
    std::chrono::milliseconds timeout{5000};
    // --store-url, else $KIVO_STORE_URL, else the public store; none with offline.
    static StoreSettings resolve(const std::optional<QString>& flag, bool offline);
};

// Which applications with data here are installed, and where to get the others.
class AppCompatibilityManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isScanning READ isScanning NOTIFY isScanningChanged)
    Q_PROPERTY(bool hasIncompatibilities READ hasIncompatibilities NOTIFY entriesChanged)
    // The missing applications as the selection screen lists them: {id, appName, dataSize, storeURL, userChoice}.
    Q_PROPERTY(QVariantList missingApps READ missingAppRows NOTIFY entriesChanged)
public:
    AppCompatibilityManager(QString homeFolder, ApplicationFolders folders, StoreSettings store,
                            QObject* parent = nullptr);
    ~AppCompatibilityManager() override;

    const QList<AppCompatibilityEntry>& entries() const { return m_entries; }
    const QList<InstalledAppSummary>& installedApps() const { return m_installed; }
    bool isScanning() const { return m_isScanning; }
    bool hasIncompatibilities() const;
    QList<AppCompatibilityEntry> missingApps() const;
    const StoreSettings& store() const { return m_store; }
    void setStore(StoreSettings store) { m_store = std::move(store); }
    // Whether the store answered the last scan's lookups; none when nothing was asked.
    std::optional<bool> storeReachable() const { return m_storeReachable; }

    QCoro::Task<void> scan();
    // The choices made, by identity; they outlast a new scan.
    const QHash<QString, AppCompatibilityEntry::UserChoice>& choices() const { return m_choices; }
    // What a missing application nobody chose for gets.
    bool transfersMissingByDefault() const { return m_transferMissingByDefault; }
    void setTransferMissingByDefault(bool transfer);
    void setChoice(AppCompatibilityEntry::UserChoice choice, const QString& id);
    Q_INVOKABLE void transferAllMissing();
    Q_INVOKABLE void skipAllMissing();
    // A row's button: "skip", "transferAnyway" or "install"; anything else is ignored.
    Q_INVOKABLE void chooseFor(const QString& id, const QString& choice)
    {
        using C = AppCompatibilityEntry::UserChoice;
        for (C c : {C::skip, C::transferAnyway, C::install})
            if (toString(c) == choice)
                setChoice(c, id);
    }
    QVariantList missingAppRows() const
    {
        QVariantList rows;
        for (const AppCompatibilityEntry& e : missingApps())
            rows.append(QVariantMap{{QStringLiteral("id"), e.identity()},
                                    {QStringLiteral("appName"), e.appName},
                                    {QStringLiteral("dataSize"), formatFileSize(e.dataSize)},
                                    {QStringLiteral("storeURL"), e.storeURL.value_or(QUrl()).toString()},
                                    {QStringLiteral("userChoice"), toString(e.userChoice)}});
        return rows;
    }

Q_SIGNALS:
    void entriesChanged();
    void isScanningChanged();

private:
    QCoro::Task<std::optional<QUrl>> lookUp(QString bundleID);
    void setScanning(bool scanning);
    AppCompatibilityEntry::UserChoice choiceFor(const QString& id) const;
    void applyChoices();

    QString m_home;
    ApplicationFolders m_folders;
    StoreSettings m_store;
    QList<AppCompatibilityEntry> m_entries;
    QList<InstalledAppSummary> m_installed;
    bool m_isScanning = false;
    QHash<QString, AppCompatibilityEntry::UserChoice> m_choices;
    bool m_transferMissingByDefault = true;
    std::optional<bool> m_storeReachable;
};

} // namespace kivo
