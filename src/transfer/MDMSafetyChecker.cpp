// SPDX-License-Identifier: Apache-2.0
#include "transfer/MDMSafetyChecker.h"

#include <QDir>

namespace kivo {

namespace {

const char* const kProtectedSystemPaths[] = {
    "/var/db/ConfigurationProfiles", "/var/db/MDM", "/var/db/DetachedSignatures",
    "/private/var/db/ConfigurationProfiles", "/private/var/db/MDM",
};

} // namespace

MDMSafetyChecker::MDMSafetyChecker(QString systemRoot) : m_protected(protectedPaths(systemRoot)) {}

QStringList MDMSafetyChecker::protectedPaths(const QString& systemRoot)
{
    QString root = QDir::cleanPath(systemRoot);
    if (root == QLatin1String("/"))
        root.clear();
    QStringList out;
    for (const char* path : kProtectedSystemPaths)
        out << root + QLatin1String(path);
    return out;
}

bool MDMSafetyChecker::isPathSafe(const QString& path) const
{
    const QString cleaned = QDir::cleanPath(path);
    for (const QString& prefix : m_protected) {
        if (path.startsWith(prefix) || cleaned.startsWith(prefix))
            return false;
    }
    return true;
}

} // namespace kivo
