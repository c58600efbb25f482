// SPDX-License-Identifier: Apache-2.0
#include "platform/DiskEncryption.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace kivo {

namespace {

QString readLine(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(256)).trimmed();
}

// `device` is a folder of the block class; a partition's holders are its disk's, so look at both.
bool isEncryptedDevice(const QString& device, int depth)
{
    if (depth > 8)
        return false;
    if (readLine(device + QStringLiteral("/dm/uuid")).startsWith(QLatin1String("CRYPT-")))
        return true;
    const QDir slaves(device + QStringLiteral("/slaves"));
    for (const QString& name : slaves.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System))
        if (isEncryptedDevice(slaves.filePath(name), depth + 1))
            return true;
    return false;
}

} // namespace

bool isEncryptedBlockDevice(const QString& majorMinor, const QString& sysfsRoot)
{
    const QString link = sysfsRoot + QStringLiteral("/dev/block/") + majorMinor;
    if (!QFileInfo::exists(link))
        return false;
    return isEncryptedDevice(link, 0);
}

bool isOnEncryptedVolume(const QString& path, const QString& sysfsRoot)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return isEncryptedBlockDevice(QStringLiteral("%1:%2").arg(major(st.st_dev)).arg(minor(st.st_dev)), sysfsRoot);
}

} // namespace kivo
