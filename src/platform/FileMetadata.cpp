// SPDX-License-Identifier: Apache-2.0
#include "platform/FileMetadata.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace kivo::fs {

bool isUserAttribute(QByteArrayView name)
{
    if (!name.startsWith("user."))
        return false;
    // The download quarantine mark belongs to the machine that downloaded the
    // file; security labels live outside the user namespace altogether.
    return name != "user.com.apple.quarantine";
}

QList<ExtendedAttribute> readUserAttributes(const QByteArray& nativePath)
{
    QList<ExtendedAttribute> out;
    QByteArray names(1024, Qt::Uninitialized);
    ssize_t listed = ::llistxattr(nativePath.constData(), names.data(), size_t(names.size()));
    if (listed < 0 && errno == ERANGE) {
        listed = ::llistxattr(nativePath.constData(), nullptr, 0);
        if (listed > 0) {
            names.resize(listed);
            listed = ::llistxattr(nativePath.constData(), names.data(), size_t(names.size()));
        }
    }
    if (listed <= 0)
        return out;
    for (const QByteArray& name : names.first(listed).split('\0')) {
        if (name.isEmpty() || !isUserAttribute(name))
            continue;
        const ssize_t size = ::lgetxattr(nativePath.constData(), name.constData(), nullptr, 0);
        if (size < 0)
            continue;
        QByteArray value(size, Qt::Uninitialized);
        const ssize_t got = size == 0 ? 0 : ::lgetxattr(nativePath.constData(), name.constData(), value.data(), size_t(size));
        if (got < 0)
            continue;
        value.truncate(got);
        out.append({name, value});
    }
    return out;
}

std::optional<QByteArray> readLinkTarget(const QByteArray& nativePath)
{
    QByteArray target(4096, Qt::Uninitialized);
    const ssize_t n = ::readlink(nativePath.constData(), target.data(), size_t(target.size()));
    if (n < 0)
        return std::nullopt;
    target.truncate(n);
    return target;
}

QList<DataRegion> dataRegions(const UniqueFd& file, std::int64_t size)
{
    QList<DataRegion> out;
    std::int64_t at = 0;
    while (at < size) {
        const off_t data = ::lseek(file.get(), at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) // only a hole is left
                break;
            return {{0, size}};
        }
        off_t hole = ::lseek(file.get(), data, SEEK_HOLE);
        if (hole < 0)
            return {{0, size}};
        hole = std::min<off_t>(hole, size);
        if (hole > data)
            out.append({data, hole});
        at = hole;
        if (hole <= data)
            break;
    }
    return out;
}

} // namespace kivo::fs
