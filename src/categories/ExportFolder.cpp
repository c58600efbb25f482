// SPDX-License-Identifier: Apache-2.0
#include "categories/ExportFolder.h"

#include "platform/Error.h"

#include <QDir>

namespace kivo {

QString ExportFolder::renew(const QString& pattern, const QString& what)
{
    auto folder = std::make_unique<QTemporaryDir>(QDir::tempPath() + u'/' + pattern);
    if (!folder->isValid())
        throw SystemError(QStringLiteral("Cannot create a folder for %1: %2").arg(what, folder->errorString()));
    const QString path = folder->path();
    std::lock_guard lock(m_mutex);
    m_folder = std::move(folder);
    return path;
}

void ExportFolder::discard()
{
    std::lock_guard lock(m_mutex);
    m_folder.reset();
}

} // namespace kivo
