// SPDX-License-Identifier: Apache-2.0
#include "categories/HomeFolderScanner.h"

#include "categories/SizeCalculator.h"
#include "platform/FileSystem.h"

#include <QCoroFuture>
#include <QDir>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace kivo {

size_t qHash(const HomeFolder& f, size_t seed) noexcept
{
    return qHashMulti(seed, f.name, f.path, f.absolutePath, quint64(f.size), f.isDefault, f.isSelected);
}

HomeFolderScanner::HomeFolderScanner(QString homeFolder, HomeLayoutKind layout, QObject* parent)
    : QObject(parent), m_home(QDir::cleanPath(std::move(homeFolder))), m_layout(layout)
{
}

const QStringList& HomeFolderScanner::defaultFolderNames()
{
    return HomeLayout::of(HomeLayoutKind::MacOS).defaultFolderNames;
}

const QStringList& HomeFolderScanner::excludedNames() { return HomeLayout::of(HomeLayoutKind::MacOS).excludedNames; }

QList<HomeFolder> HomeFolderScanner::scanFolders(const QString& homeFolder, HomeLayoutKind layout, bool withSizes)
{
    const HomeLayout& table = HomeLayout::of(layout);
    const QStringList defaults = table.defaultFolderNamesFor(homeFolder);
    const QDir home(homeFolder);
    if (!home.exists())
        return {};
    QStringList names = home.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                       QDir::NoSort);
    std::sort(names.begin(), names.end());

    QList<HomeFolder> result;
    for (const QString& name : names) {
        if (name.startsWith(QLatin1Char('.')) || table.excludedNames.contains(name))
            continue;
        const QString absolute = homeFolder + QLatin1Char('/') + name;
        const auto status = fs::status(absolute, fs::Links::follow);
        if (!status || !status->isDirectory())
            continue;
        HomeFolder folder;
        folder.name = name;
        folder.path = QStringLiteral("~/") + name;
        folder.absolutePath = absolute;
        folder.size = withSizes ? sizeOfDirectory(absolute) : 0;
        folder.isDefault = defaults.contains(name);
        folder.isSelected = folder.isDefault;
        result.append(folder);
    }
    return result;
}

QCoro::Task<void> HomeFolderScanner::scan(bool withSizes)
{
    const quint64 generation = ++m_scanGeneration;
    setScanning(true);
    QPointer<HomeFolderScanner> self(this);
    QFuture<QList<HomeFolder>> future = QtConcurrent::run(&HomeFolderScanner::scanFolders, m_home, m_layout, withSizes);
    QList<HomeFolder> found = co_await future;
    // A later scan supersedes this one; the scanner may also be gone by now.
    if (!self || generation != self->m_scanGeneration)
        co_return;
    self->setFolders(std::move(found));
    self->setScanning(false);
}

void HomeFolderScanner::setSizes(const QHash<QString, std::uint64_t>& byPath)
{
    QList<HomeFolder> next = m_folders;
    for (HomeFolder& f : next)
        if (const auto it = byPath.constFind(f.path); it != byPath.constEnd())
            f.size = *it;
    setFolders(std::move(next));
}

void HomeFolderScanner::toggleFolder(const QString& name)
{
    for (HomeFolder& f : m_folders) {
        if (f.name == name) {
            f.isSelected = !f.isSelected;
            Q_EMIT foldersChanged();
            return;
        }
    }
}

void HomeFolderScanner::selectAll()
{
    QList<HomeFolder> next = m_folders;
    for (HomeFolder& f : next)
        f.isSelected = true;
    setFolders(std::move(next));
}

void HomeFolderScanner::selectDefaultsOnly()
{
    QList<HomeFolder> next = m_folders;
    for (HomeFolder& f : next)
        f.isSelected = f.isDefault;
    setFolders(std::move(next));
}

QList<HomeFolder> HomeFolderScanner::selectedFolders() const
{
    QList<HomeFolder> out;
    for (const HomeFolder& f : m_folders)
        if (f.isSelected)
            out.append(f);
    return out;
}

QStringList HomeFolderScanner::selectedPaths() const
{
    QStringList out;
    for (const HomeFolder& f : m_folders)
        if (f.isSelected)
            out.append(f.path);
    return out;
}

std::uint64_t HomeFolderScanner::totalSelectedSize() const
{
    std::uint64_t total = 0;
    for (const HomeFolder& f : m_folders)
        if (f.isSelected)
            total += f.size;
    return total;
}

void HomeFolderScanner::setFolders(QList<HomeFolder> folders)
{
    if (folders == m_folders)
        return;
    m_folders = std::move(folders);
    Q_EMIT foldersChanged();
}

void HomeFolderScanner::setScanning(bool scanning)
{
    if (scanning == m_isScanning)
        return;
    m_isScanning = scanning;
    Q_EMIT isScanningChanged();
}

} // namespace kivo
