// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/DataCategory.h"

#include <QCoroTask>
#include <QFuture>
#include <QString>

#include <cstdint>

namespace kivo {

// Bytes allocated on disk by every regular file below `path`, hidden entries
// (and everything below them) left out; 0 when the folder cannot be opened.
// Blocking: call it off the main thread.
std::uint64_t sizeOfDirectory(const QString& path);

// Size estimates in bytes allocated on disk. Holds only the home folder the
// "~/" paths are expanded against; the walks run on the thread pool.
class SizeCalculator {
public:
    explicit SizeCalculator(QString homeFolder);

    const QString& homeFolder() const { return m_home; }

    QCoro::Task<std::uint64_t> calculateSize(DataCategory category) const;
    QCoro::Task<std::uint64_t> calculateDirectorySize(QString path) const;

    // The blocking figure behind calculateSize: missing paths add nothing, a
    // directory adds sizeOfDirectory, anything else its allocation.
    static std::uint64_t sizeOfPaths(const QStringList& paths, const QString& homeFolder);

private:
    static QFuture<std::uint64_t> startSizeOfPaths(QStringList paths, QString homeFolder);
    static QFuture<std::uint64_t> startSizeOfDirectory(QString path);

    QString m_home;
};

} // namespace kivo
