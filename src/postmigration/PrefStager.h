// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <cstdint>
#include <optional>

namespace kivo {

class HomeBeneath;

struct StagedPrefEntry {
    QString stagedPath;
    QString destinationRelativePath;
    std::uint64_t size = 0;
    std::optional<std::uint16_t> mode;

    QJsonObject toJson() const;
    static StagedPrefEntry fromJson(const QJsonObject& o); // throws DecodingError
    bool operator==(const StagedPrefEntry&) const = default;
};

struct StagedPrefBundle {
    QString id;
    QString displayName;
    QStringList triggers;
    QList<StagedPrefEntry> entries;
    QDateTime stagedAt;
    QDateTime expiresAt;
    bool originatedFromMDM = false;

    QJsonObject toJson() const;
    static StagedPrefBundle fromJson(const QJsonObject& o); // throws DecodingError
    bool operator==(const StagedPrefBundle&) const = default;
};

class PrefStagerError : public Error {
public:
    explicit PrefStagerError(QString key, QString reason = {}) : m_key(std::move(key)), m_reason(std::move(reason)) {}
    QString description() const override;
    const QString& key() const { return m_key; }

private:
    QString m_key;
    QString m_reason;
};

// Keeps preference files of applications that are not installed yet in
// bundles beneath the home's ".kivo-staged-prefs" folder, and puts them back.
// Every move stays inside the home and follows no link.
class PrefStager {
public:
    struct StageInput {
        QString sourceAbsolutePath;
        QString destinationRelativePath; // "~/..."
        std::uint64_t size = 0;
        std::optional<std::uint16_t> mode;
    };
    enum class ApplyConflict { overwrite, skip };

    static constexpr char kFolderName[] = ".kivo-staged-prefs";

    explicit PrefStager(QString homeFolder);
    ~PrefStager();

    const QString& homeFolder() const { return m_home; }
    QString stagingRoot() const;
    // A bundle key that can name a folder of its own in the store.
    static bool isSafeBundleKey(const QString& key);

    StagedPrefBundle stage(const QString& bundleKey, const QString& displayName, const QStringList& triggers,
                           const QList<StageInput>& files, std::chrono::seconds restoreWindow, bool originatedFromMDM,
                           const QDateTime& now = QDateTime::currentDateTimeUtc());
    // Where a staged "~/" path goes now (an app's data follows the format it was installed in).
    using Placement = std::function<QString(const QString& destinationRelativePath)>;
    // The restored paths. Throws PrefStagerError when the bundle is unknown or names
    // anything outside its folder or the home, placed or not (then nothing is restored).
    QStringList apply(const QString& bundleKey, ApplyConflict onConflict, const Placement& placement = {});
    QList<StagedPrefBundle> listStaged() const;
    void remove(const QString& bundleKey);
    QStringList discardExpired(const QDateTime& now = QDateTime::currentDateTimeUtc());

private:
    std::optional<StagedPrefBundle> read(const QString& bundleKey) const;
    // The absolute path a "~/" path names, or nothing when it leaves the home or enters the store.
    std::optional<QString> destinationFor(const QString& relative) const;

    QString m_home;
    HomeBeneath& beneath() const;
    mutable std::unique_ptr<HomeBeneath> m_beneath;
};

} // namespace kivo
