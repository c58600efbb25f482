// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/FileEnumeration.h"
#include "devtools/EngineeringToolsInventory.h"
#include "platform/ByteCount.h"
#include "transfer/TransferManifest.h"

#include <QDate>
#include <QObject>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

namespace kivo {

struct MigrationItem {
    enum class Category { shellConfig, dotfile, versionManager, devDirectory, sensitive, ide };

    QString name;
    QString description;
    std::uint64_t sizeBytes = 0;
    bool isIncluded = false;
    bool requiresOptIn = false;
    bool isSensitive = false;
    std::optional<QString> sensitivityNote;
    Category category = Category::dotfile;

    QJsonObject toJson() const;
    bool operator==(const MigrationItem&) const = default;
};

QString toString(MigrationItem::Category category);

enum class HomebrewStrategy { brewfileReinstall, copyInstallation };
// "Reinstall via Brewfile (recommended)" / "Copy Homebrew installation (faster)".
QString displayText(HomebrewStrategy strategy);
QString toString(HomebrewStrategy strategy);

inline constexpr std::uint64_t kOneGigabyte = 1073741824;

// What the plan decided, copied so a worker thread can turn it into manifest entries.
struct PlanSelection {
    QList<MigrationItem> items;
    QList<MigrationItem> devDirectoryItems;
    HomebrewStrategy homebrewStrategy = HomebrewStrategy::brewfileReinstall;
};

// The developer items the user can take along or leave, and the Homebrew
// strategy. Main-thread object; rebuilt whenever the inventory is.
class EngineeringMigrationPlan : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool homebrewForceBrewfile READ homebrewForceBrewfile NOTIFY changed)
    Q_PROPERTY(quint64 totalSize READ totalSize NOTIFY changed)
    // The offered items, folders last, as the selection screen lists them.
    Q_PROPERTY(QVariantList itemRows READ itemRows NOTIFY changed)
public:
    explicit EngineeringMigrationPlan(QObject* parent = nullptr);

    const QList<MigrationItem>& items() const { return m_selection.items; }
    const QList<MigrationItem>& devDirectoryItems() const { return m_selection.devDirectoryItems; }
    HomebrewStrategy homebrewStrategy() const { return m_selection.homebrewStrategy; }
    bool homebrewForceBrewfile() const { return m_homebrewForceBrewfile; }
    const PlanSelection& selection() const { return m_selection; }

    // Sensitive items are offered but never included here: only a toggle includes them.
    void buildFromInventory(const EngineeringToolsInventory& inventory, bool architectureMismatch,
                            bool sensitiveAllowed, bool devDirectoriesAllowed);
    // Flips the item of that name, in either list; false when there is none
    // (or it is sensitive and sensitive items are not allowed).
    Q_INVOKABLE bool toggleItem(const QString& name);
    // Ignored while the architecture forces the Brewfile.
    void setHomebrewStrategy(HomebrewStrategy strategy);

    QList<MigrationItem> includedItems() const;
    QList<MigrationItem> includedDevDirectories() const;
    std::uint64_t totalSize() const;
    QVariantList itemRows() const
    {
        QVariantList rows;
        for (const QList<MigrationItem>* list : {&m_selection.items, &m_selection.devDirectoryItems})
            for (const MigrationItem& i : *list)
                rows.append(QVariantMap{{QStringLiteral("name"), i.name},
                                        {QStringLiteral("description"), i.description},
                                        {QStringLiteral("size"), formatFileSize(i.sizeBytes)},
                                        {QStringLiteral("isIncluded"), i.isIncluded},
                                        {QStringLiteral("isSensitive"), i.isSensitive},
                                        {QStringLiteral("category"), toString(i.category)}});
        return rows;
    }

Q_SIGNALS:
    void changed();

private:
    PlanSelection m_selection;
    bool m_homebrewForceBrewfile = false;
    bool m_sensitiveAllowed = true;
};

// Files written for the destination's Desktop ("Brewfile-migration-<date>.txt"
// and the like) go into `scratchFolder`; the manifest sends them from there.
struct ManifestContext {
    QString homeFolder;
    QString scratchFolder;
    QDate date;
};

// The "engineeringTools" manifest entries for the included items, with the
// source's paths (the account mapping is applied to the whole manifest later):
// files, folders and links, and what was left out.
// Blocking: walks the included folders. Safe on any thread.
files::Listing buildManifestItems(const PlanSelection& selection, const EngineeringToolsInventory& inventory,
                                  const ManifestContext& context);

// "2026-12-06": the date in the names of the files placed on the Desktop.
QString fileDate(const QDate& date);
// The id of an editor extension from its folder: "ms-python.python-2024.2.1" -> "ms-python.python".
QString extensionID(const QString& folderName);
// The Desktop file listing one editor's extensions, one id a line.
QString extensionsFileName(const QString& product, const QDate& date);
QString brewfileName(const QDate& date);
QString packagesFileName(const QDate& date);

} // namespace kivo
