// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>

namespace kivo {

// Guards writes against the folders device management keeps its state in.
class MDMSafetyChecker {
public:
    // `systemRoot` prefixes every protected path, so tests and other layouts can relocate them.
    explicit MDMSafetyChecker(QString systemRoot = QStringLiteral("/"));

    // The protected system paths under the given root.
    static QStringList protectedPaths(const QString& systemRoot = QStringLiteral("/"));

    // False when `path` begins with a protected system path (also after
    // removing "." and ".." components, so they cannot smuggle a path past it).
    bool isPathSafe(const QString& path) const;
    // One more folder nothing may be written into (kivo's own stores in a home).
    void addProtectedPath(const QString& path) { m_protected.append(path); }

private:
    QStringList m_protected;
};

} // namespace kivo
