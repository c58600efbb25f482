// SPDX-License-Identifier: Apache-2.0
#include "transfer/MDMSafetyChecker.h"

#include <QDir>

namespace kivo {

namespace {

const char* const kProtectedSystemPaths[] = {
    "/var/db/ConfigurationProfiles", "/var/db/MDM", "/var/db/DetachedSignatures",
    "/private/var/db/ConfigurationProfiles", "/private/var/db/MDM",
};

// Whether QDir::cleanPath would leave `path` as it is: no empty, "." or ".." component.
bool isClean(QStringView path)
{
    const QStringView rest = path.startsWith(u'/') ? path.mid(1) : path;
    if (rest.isEmpty())
        return true;
    for (const QStringView part : rest.tokenize(u'/'))
        if (part.isEmpty() || part == u"." || part == u"..")
            return false;
    return true;
}

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
    // Asked of every file received: a path already clean is tested once, without a copy.
    const bool clean = isClean(path);
    const QString cleaned = clean ? QString() : QDir::cleanPath(path);
    for (const QString& prefix : m_protected) {
        if (path.startsWith(prefix) || (!clean && cleaned.startsWith(prefix)))
            return false;
    }
    return true;
}

} // namespace kivo
