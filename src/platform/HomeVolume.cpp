// SPDX-License-Identifier: Apache-2.0
#include "platform/HomeVolume.h"

#include "platform/DiskEncryption.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#ifndef STATX_ATTR_ENCRYPTED
#define STATX_ATTR_ENCRYPTED 0x00000800
#endif

namespace kivo {

std::optional<quint64> fileSystemTypeOf(const QString& path)
{
    struct statfs st {};
    if (::statfs(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return static_cast<quint64>(static_cast<unsigned long>(st.f_type));
}

bool isNetworkFileSystemType(quint64 type)
{
    switch (type) {
    case 0x6969:     // NFS
    case 0xFF534D42: // CIFS
    case 0xFE534D42: // SMB2/3
    case 0x517B:     // SMB
    case 0x5346414F: // AFS
    case 0x6B414653: // kAFS
    case 0x73757245: // Coda
    case 0x00C36400: // Ceph
    case 0x564C:     // NCP
        return true;
    default:
        return false;
    }
}

bool isFolderEncrypted(const QString& path)
{
    struct statx st {};
    if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), AT_NO_AUTOMOUNT, STATX_BASIC_STATS, &st) != 0)
        return false;
    return (st.stx_attributes_mask & STATX_ATTR_ENCRYPTED) && (st.stx_attributes & STATX_ATTR_ENCRYPTED);
}

bool isHomeEncrypted(const QString& path, const QString& sysfsRoot)
{
    return isFolderEncrypted(path) || isOnEncryptedVolume(path, sysfsRoot);
}

} // namespace kivo
