// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/CategoryProfile.h"
#include "categories/DataCategory.h"
#include "categories/FileEnumeration.h"
#include "categories/HomeLayout.h"
#include "categories/SizeCalculator.h"
#include "transfer/UserMapping.h"
#include "transfer/TransferManifest.h"

#include <QCoroTask>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace kivo {

class CategoryTransferHandler;
class HomeFolderScanner;

// Supplies the developer-tool listing of a manifest from the migration plan and
// the inventory; leave it empty when either of them is missing. Called on a
// worker thread, so it must not touch main-thread objects.
using EngineeringItemsProvider = std::function<files::Listing(const std::optional<UserMapping>& userMapping)>;

// The live category list on the source: selection, size estimates, handlers,
// and the manifest built from them. Main-thread object; notifies on change only.
class DataCategoryManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isCalculatingSizes READ isCalculatingSizes NOTIFY isCalculatingSizesChanged)
public:
    explicit DataCategoryManager(QString homeFolder, QObject* parent = nullptr);
    ~DataCategoryManager() override;

    const QString& homeFolder() const { return m_home; }
    // Whose table loadCategories uses; a Mac-shaped home's until set.
    HomeLayoutKind layout() const { return m_layout; }
    void setLayout(HomeLayoutKind layout) { m_layout = layout; }
    const QList<DataCategory>& categories() const { return m_categories; }
    const QList<QUrl>& customPaths() const { return m_customPaths; }
    bool isCalculatingSizes() const { return m_isCalculatingSizes; }
    const SizeCalculator& sizeCalculator() const { return m_sizeCalculator; }
    const QMap<QString, std::shared_ptr<CategoryTransferHandler>>& handlers() const { return m_handlers; }

    // Rebuilds the list from the layout's table, as this home names its
    // folders, under the profile's rule,
    // resetting selection and sizes.
    void loadCategories(const CategoryProfile& profile);

    QList<DataCategory> selectedCategories() const;
    std::uint64_t totalSelectedSize() const;

    void toggleCategory(const QString& id);
    void overrideEstimatedSize(const QString& categoryID, std::uint64_t size);
    void addCustomPath(const QUrl& url);
    // Registered under the handler's own category id, replacing any earlier one.
    void registerHandler(std::shared_ptr<CategoryTransferHandler> handler);
    void removeHandler(const QString& categoryID);

    // Fills estimatedSize of every category, one after another.
    QCoro::Task<void> calculateSizes();

    // The manifest of the current selection, captured when called.
    // `homeFolderScanner`, when given, narrows "userFiles" to its selected
    // folders. A registered handler lists its category's files; otherwise the
    // default walk runs on the thread pool. Never throws: a failing handler or
    // an unreadable path just contributes nothing.
    QCoro::Task<TransferManifest> buildManifest(QString transferID, EngineeringItemsProvider engineeringItems,
                                                std::optional<UserMapping> userMapping, bool engineeringToolsEnabled,
                                                const HomeFolderScanner* homeFolderScanner);

Q_SIGNALS:
    void categoriesChanged();
    void customPathsChanged();
    void isCalculatingSizesChanged();
    void handlersChanged();

private:
    void setCategories(QList<DataCategory> categories);
    void setCalculatingSizes(bool calculating);

    QString m_home;
    HomeLayoutKind m_layout = HomeLayoutKind::MacOS;
    QList<DataCategory> m_categories;
    QList<QUrl> m_customPaths;
    bool m_isCalculatingSizes = false;
    SizeCalculator m_sizeCalculator;
    QMap<QString, std::shared_ptr<CategoryTransferHandler>> m_handlers;
};

} // namespace kivo
