// SPDX-License-Identifier: Apache-2.0
#include "categories/DataCategoryManager.h"

#include "categories/FileEnumeration.h"
#include "categories/HomeFolderScanner.h"
#include "categories/UserDirs.h"
#include "platform/Error.h"
#include "platform/HostNames.h"
#include "platform/Logging.h"
#include "transfer/Background.h"
#include "transfer/CategoryTransferHandler.h"

#include <QCoroFuture>
#include <QDir>
#include <QPointer>
#include <QSet>
#include <QtConcurrent/QtConcurrentRun>

namespace kivo {

namespace {

const QString kUserFiles = QStringLiteral("userFiles");

// The first category's list is taken as it is rather than copied into a fresh one.
template <typename T>
void appendList(QList<T>& to, QList<T>&& from)
{
    if (to.isEmpty())
        to = std::move(from);
    else
        to.append(std::move(from));
}

using files::Listing;

// Futures are made outside the coroutine: g++ 12 mishandles lambda
// temporaries inside a co_await expression.
QFuture<Listing> startDefaultEnumeration(QStringList paths, QString categoryID, QString homeFolder)
{
    return QtConcurrent::run([paths = std::move(paths), id = std::move(categoryID), homeFolder = std::move(homeFolder)] {
        Listing listing;
        files::appendCategoryItems(listing.items, paths, id, UserFolders(homeFolder), &listing.skipped, &listing.entries);
        return listing;
    });
}

QFuture<Listing> startEngineeringItems(EngineeringItemsProvider provider, std::optional<UserMapping> mapping)
{
    return QtConcurrent::run([provider = std::move(provider), mapping = std::move(mapping)] {
        try {
            return provider(mapping);
        } catch (const std::exception& e) {
            qCWarning(lcCategories).noquote() << "Developer-tool items unavailable:" << describe(e);
            return Listing();
        }
    });
}

// Developer tools' settings sit among the applications' in a Linux home's ~/.config:
// what a category sends already is not sent again. True when anything was added.
bool appendUnsent(TransferManifest& manifest, Listing&& extra)
{
    QSet<QString> sent;
    for (const TransferManifest::FileItem& item : std::as_const(manifest.items))
        sent.insert(item.relativePath);
    for (const TransferManifest::Entry& entry : std::as_const(manifest.entries))
        sent.insert(entry.relativePath);
    const qsizetype before = manifest.items.size() + manifest.entries.size();
    for (TransferManifest::FileItem& item : extra.items)
        if (!sent.contains(item.relativePath))
            manifest.items.append(std::move(item));
    for (TransferManifest::Entry& entry : extra.entries)
        if (!sent.contains(entry.relativePath))
            manifest.entries.append(std::move(entry));
    manifest.skippedFolders.append(std::move(extra.skipped));
    return manifest.items.size() + manifest.entries.size() > before;
}

} // namespace

DataCategoryManager::DataCategoryManager(QString homeFolder, QObject* parent)
    : QObject(parent), m_home(QDir::cleanPath(std::move(homeFolder))), m_sizeCalculator(m_home)
{
}

DataCategoryManager::~DataCategoryManager() = default;

void DataCategoryManager::loadCategories(const CategoryProfile& profile)
{
    QList<DataCategory> loaded;
    for (DataCategory category : HomeLayout::of(m_layout).categoriesFor(m_home)) {
        const bool allowed = profile.isCategoryAllowed(category.id);
        // Without override a disallowed row is not even shown.
        if (!allowed && profile.isProfilePresent && !profile.allowUserOverride)
            continue;
        category.isSelected = allowed;
        loaded.append(std::move(category));
    }
    setCategories(std::move(loaded));
}

QList<DataCategory> DataCategoryManager::selectedCategories() const
{
    QList<DataCategory> out;
    for (const DataCategory& c : m_categories)
        if (c.isSelected)
            out.append(c);
    return out;
}

std::uint64_t DataCategoryManager::totalSelectedSize() const
{
    std::uint64_t total = 0;
    for (const DataCategory& c : m_categories)
        if (c.isSelected)
            total += c.estimatedSize;
    return total;
}

void DataCategoryManager::toggleCategory(const QString& id)
{
    for (DataCategory& c : m_categories) {
        if (c.id == id) {
            c.isSelected = !c.isSelected;
            Q_EMIT categoriesChanged();
            return;
        }
    }
}

void DataCategoryManager::overrideEstimatedSize(const QString& categoryID, std::uint64_t size)
{
    for (DataCategory& c : m_categories) {
        if (c.id == categoryID) {
            if (c.estimatedSize != size) {
                c.estimatedSize = size;
                Q_EMIT categoriesChanged();
            }
            return;
        }
    }
}

void DataCategoryManager::addCustomPath(const QUrl& url)
{
    if (m_customPaths.contains(url))
        return;
    m_customPaths.append(url);
    Q_EMIT customPathsChanged();
}

void DataCategoryManager::registerHandler(std::shared_ptr<CategoryTransferHandler> handler)
{
    if (!handler)
        return;
    const QString id = handler->categoryID();
    auto it = m_handlers.find(id);
    if (it != m_handlers.end() && it.value() == handler)
        return;
    m_handlers.insert(id, std::move(handler));
    Q_EMIT handlersChanged();
}

void DataCategoryManager::removeHandler(const QString& categoryID)
{
    if (m_handlers.remove(categoryID) > 0)
        Q_EMIT handlersChanged();
}

QCoro::Task<void> DataCategoryManager::calculateSizes()
{
    setCalculatingSizes(true);
    QPointer<DataCategoryManager> self(this);
    for (qsizetype i = 0; self && i < self->m_categories.size(); ++i) {
        const DataCategory copy = self->m_categories.at(i);
        QCoro::Task<std::uint64_t> sizing = self->m_sizeCalculator.calculateSize(copy);
        const std::uint64_t size = co_await sizing;
        // The list may have been reloaded meanwhile; only a row still at that index is updated.
        if (!self || i >= self->m_categories.size() || self->m_categories.at(i).id != copy.id)
            continue;
        if (self->m_categories[i].estimatedSize != size) {
            self->m_categories[i].estimatedSize = size;
            Q_EMIT self->categoriesChanged();
        }
    }
    if (self)
        self->setCalculatingSizes(false);
}

QCoro::Task<TransferManifest> DataCategoryManager::buildManifest(QString transferID,
                                                                 EngineeringItemsProvider engineeringItems,
                                                                 std::optional<UserMapping> userMapping,
                                                                 bool engineeringToolsEnabled,
                                                                 const HomeFolderScanner* homeFolderScanner)
{
    // Everything read from this object or the scanner is captured before the
    // first suspension; both may change (or go away) while the walk runs.
    struct Entry {
        QString categoryID;
        QStringList paths;
        std::shared_ptr<CategoryTransferHandler> handler;
    };
    QList<Entry> entries;
    for (const DataCategory& c : m_categories) {
        if (!c.isSelected)
            continue;
        const bool narrowed = c.id == kUserFiles && homeFolderScanner;
        entries.append({c.id, narrowed ? homeFolderScanner->selectedPaths() : c.paths, m_handlers.value(c.id)});
    }
    const QString homeFolder = m_home;

    TransferManifest manifest;
    manifest.transferID = std::move(transferID);
    const QString hostName = host::displayHostName();
    manifest.sourceHostname = hostName.isEmpty() ? QStringLiteral("Unknown") : hostName;
    // A manifest without a layout is a Mac's: older peers read it as before.
    if (m_layout == HomeLayoutKind::Linux) {
        manifest.layout = layoutName(m_layout);
        manifest.userFolders = userDirsOf(homeFolder, m_layout);
    }

    for (const Entry& entry : entries) {
        manifest.categoryIDs.append(entry.categoryID);
        if (entry.handler) {
            try {
                QCoro::Task<CategoryTransferHandler::Listing> listing = entry.handler->enumerateListing(entry.paths);
                CategoryTransferHandler::Listing found = co_await listing;
                for (const auto& folder : std::as_const(found.skippedFolders))
                    qCWarning(lcCategories).noquote() << "Cannot read" << folder.relativePath << "-" << folder.reason;
                appendList(manifest.items, std::move(found.items));
                manifest.skippedFolders.append(std::move(found.skippedFolders));
                appendList(manifest.entries, std::move(found.entries));
            } catch (const std::exception& e) {
                qCWarning(lcCategories).noquote()
                    << "Listing" << entry.categoryID << "failed, the category stays empty:" << describe(e);
            }
            continue;
        }
        QFuture<Listing> walk = startDefaultEnumeration(entry.paths, entry.categoryID, homeFolder);
        Listing listing = co_await takeWhenFinished(std::move(walk));
        for (const auto& folder : std::as_const(listing.skipped))
            qCWarning(lcCategories).noquote() << "Cannot read" << folder.relativePath << "-" << folder.reason;
        appendList(manifest.items, std::move(listing.items));
        manifest.skippedFolders.append(std::move(listing.skipped));
        appendList(manifest.entries, std::move(listing.entries));
    }

    if (engineeringToolsEnabled && engineeringItems) {
        QFuture<Listing> planned = startEngineeringItems(std::move(engineeringItems), std::move(userMapping));
        Listing plan = co_await takeWhenFinished(std::move(planned));
        if (appendUnsent(manifest, std::move(plan))) {
            const QString& id = DataCategory::engineeringTools().id;
            if (!manifest.categoryIDs.contains(id))
                manifest.categoryIDs.append(id);
        }
    }

    // The lists grew by doubling, but not squeezed: a large list is mapped on
    // its own and grew in place, so its spare room was never touched and costs
    // nothing, while a squeeze would hold a second whole copy for a moment.
    for (const TransferManifest::FileItem& item : std::as_const(manifest.items))
        manifest.totalSize += item.size;
    manifest.categoryOrder = manifest.categoryIDs;
    manifest.createdAt = QDateTime::currentDateTimeUtc();
    co_return manifest;
}

void DataCategoryManager::setCategories(QList<DataCategory> categories)
{
    if (categories == m_categories)
        return;
    m_categories = std::move(categories);
    Q_EMIT categoriesChanged();
}

void DataCategoryManager::setCalculatingSizes(bool calculating)
{
    if (calculating == m_isCalculatingSizes)
        return;
    m_isCalculatingSizes = calculating;
    Q_EMIT isCalculatingSizesChanged();
}

} // namespace kivo
