// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/HomeLayout.h"

#include <QCoroTask>
#include <QHash>
#include <QHashFunctions>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace kivo {

// One sub-folder of the home folder offered for the "User Files" category.
struct HomeFolder {
    QString name;
    QString path;         // "~/" + name
    QString absolutePath; // home + "/" + name
    std::uint64_t size = 0; // bytes allocated on disk, hidden files left out
    bool isDefault = false;
    bool isSelected = false;

    bool operator==(const HomeFolder&) const = default;
};

size_t qHash(const HomeFolder& folder, size_t seed = 0) noexcept;

// Lists the home folder's sub-folders with their sizes. Lives on the main
// thread; the walk runs on the thread pool and only its result is assigned here.
class HomeFolderScanner : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isScanning READ isScanning NOTIFY isScanningChanged)
public:
    explicit HomeFolderScanner(QString homeFolder, HomeLayoutKind layout = HomeLayoutKind::MacOS,
                               QObject* parent = nullptr);

    // A Mac-shaped home's.
    static const QStringList& defaultFolderNames();
    static const QStringList& excludedNames();

    // The blocking scan behind scan(): sorted, dot-names and the layout's
    // excluded names skipped, directories only (a link to one counts), the
    // home's own user folders preselected. Without sizes nothing below the
    // home is walked: a later walk that goes there anyway brings them (setSizes).
    static QList<HomeFolder> scanFolders(const QString& homeFolder,
                                         HomeLayoutKind layout = HomeLayoutKind::MacOS, bool withSizes = true);

    const QString& homeFolder() const { return m_home; }
    HomeLayoutKind layout() const { return m_layout; }
    void setLayout(HomeLayoutKind layout) { m_layout = layout; }
    const QList<HomeFolder>& folders() const { return m_folders; }
    bool isScanning() const { return m_isScanning; }

    // Replaces `folders` with a fresh scan; earlier selections are not kept.
    QCoro::Task<void> scan(bool withSizes = true);
    // Sizes counted elsewhere, by "~/" path; folders not named keep theirs.
    void setSizes(const QHash<QString, std::uint64_t>& byPath);

    void toggleFolder(const QString& name);
    void selectAll();
    void selectDefaultsOnly();

    QList<HomeFolder> selectedFolders() const;
    QStringList selectedPaths() const;
    std::uint64_t totalSelectedSize() const;

Q_SIGNALS:
    void foldersChanged();
    void isScanningChanged();

private:
    void setFolders(QList<HomeFolder> folders);
    void setScanning(bool scanning);

    QString m_home;
    HomeLayoutKind m_layout;
    QList<HomeFolder> m_folders;
    bool m_isScanning = false;
    quint64 m_scanGeneration = 0;
};

} // namespace kivo
