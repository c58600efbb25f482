// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/CategoryHandlerBase.h"
#include "categories/ExportFolder.h"
#include "categories/PreferenceDomains.h"

#include <QTemporaryDir>

#include <memory>
#include <mutex>

namespace kivo {

// "systemSettings": a fixed set of preference domains, exported on the source
// into a private temporary folder and imported on the destination from
// "~/Library/Preferences/_kivo_settings/".
class SystemSettingsHandler : public CategoryHandlerBase {
public:
    struct DomainExport {
        QString domain;
        bool exported = false;
        QString reason; // why not, when not
    };

    static const QStringList& domains();
    // Domains beginning with one of these are never imported.
    static const QStringList& neverImportedPrefixes();
    static const QString& receivedFolder(); // "~/Library/Preferences/_kivo_settings/"

    SystemSettingsHandler(QString homeFolder, std::shared_ptr<PreferenceDomains> preferences);
    ~SystemSettingsHandler() override;

    // Ignores `paths`: exports each domain. Throws when no private folder can be made.
    QCoro::Task<QList<Item>> enumerateFiles(QStringList paths) override;
    // Imports each received domain file directly in the received folder; it is
    // deleted once imported, and left where it landed otherwise.
    QCoro::Task<std::optional<ImportCounts>> postImport(QStringList receivedFiles) override;

    // What the last export did with each domain.
    QList<DomainExport> lastExports() const;
    // The domain a received file imports into, or nothing when it is not to be imported.
    static std::optional<QString> importableDomain(const QString& receivedPath, const QString& homeFolder);
    // Removes the exported files.
    void discardExports();

private:
    std::shared_ptr<PreferenceDomains> m_preferences;
    mutable std::mutex m_mutex;
    ExportFolder m_exportFolder;
    QList<DomainExport> m_lastExports;
};

} // namespace kivo
