// SPDX-License-Identifier: Apache-2.0
#include "platform/UserFolders.h"

#include <QDir>

namespace kivo {

UserFolders::UserFolders(QString homeFolder) : m_home(QDir::cleanPath(std::move(homeFolder))) {}

QString UserFolders::applicationSupport() const
{
#ifdef Q_OS_MACOS
    return m_home + QStringLiteral("/Library/Application Support");
#else
    return m_home + QStringLiteral("/.local/share");
#endif
}

QString UserFolders::kivoSupport() const { return applicationSupport() + QStringLiteral("/kivo"); }

QString UserFolders::desktop() const { return m_home + QStringLiteral("/Desktop"); }

QString UserFolders::temporary() { return QDir::tempPath(); }

QString UserFolders::expandTilde(const QString& path) const
{
    if (path == QLatin1String("~"))
        return m_home;
    if (path.startsWith(QLatin1String("~/")))
        return m_home + path.mid(1);
    return path;
}

QString UserFolders::abbreviate(const QString& absolutePath) const
{
    QString out = absolutePath;
    return out.replace(m_home, QStringLiteral("~"));
}

} // namespace kivo
