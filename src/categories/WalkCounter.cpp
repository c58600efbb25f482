// SPDX-License-Identifier: Apache-2.0
#include "categories/WalkCounter.h"

#include <QDir>
#include <QHash>
#include <QMutex>

namespace kivo {

namespace {

QMutex mutex;
QHash<QString, std::int64_t> walks;

} // namespace

void WalkCounter::count(const QString& root)
{
    const QString key = QDir::cleanPath(root);
    QMutexLocker lock(&mutex);
    ++walks[key];
}

std::int64_t WalkCounter::timesWalked(const QString& root)
{
    const QString key = QDir::cleanPath(root);
    QMutexLocker lock(&mutex);
    return walks.value(key);
}

} // namespace kivo
