// SPDX-License-Identifier: Apache-2.0
#include "categories/SizeCalculator.h"

#include "categories/FileEnumeration.h"
#include "categories/WalkCounter.h"
#include "platform/UserFolders.h"

#include <QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>

namespace kivo {

std::uint64_t sizeOfDirectory(const QString& path)
{
    WalkCounter::count(path);
    std::uint64_t total = 0;
    fs::forEachRegularFile(path, true, [&](const QString&, const fs::FileStatus& status) { total += status.allocatedBytes; });
    return total;
}

SizeCalculator::SizeCalculator(QString homeFolder) : m_home(std::move(homeFolder)) {}

std::uint64_t SizeCalculator::sizeOfPaths(const QStringList& paths, const QString& homeFolder)
{
    const UserFolders home(homeFolder);
    std::uint64_t total = 0;
    for (const QString& listed : paths) {
        const QString expanded = home.expandTilde(listed);
        const auto status = fs::status(expanded, fs::Links::follow);
        if (!status)
            continue;
        total += status->isDirectory() ? sizeOfDirectory(expanded) : status->allocatedBytes;
    }
    return total;
}

// Futures are made outside the coroutines: g++ 12 mishandles lambda
// temporaries inside a co_await expression.
QFuture<std::uint64_t> SizeCalculator::startSizeOfPaths(QStringList paths, QString homeFolder)
{
    return QtConcurrent::run([paths = std::move(paths), home = std::move(homeFolder)] { return sizeOfPaths(paths, home); });
}

QFuture<std::uint64_t> SizeCalculator::startSizeOfDirectory(QString path)
{
    return QtConcurrent::run([path = std::move(path)] { return sizeOfDirectory(path); });
}

QCoro::Task<std::uint64_t> SizeCalculator::calculateSize(DataCategory category) const
{
    QFuture<std::uint64_t> future = startSizeOfPaths(category.paths, m_home);
    const std::uint64_t size = co_await future;
    co_return size;
}

QCoro::Task<std::uint64_t> SizeCalculator::calculateDirectorySize(QString path) const
{
    QFuture<std::uint64_t> future = startSizeOfDirectory(path);
    const std::uint64_t size = co_await future;
    co_return size;
}

} // namespace kivo
