// SPDX-License-Identifier: Apache-2.0
#include "platform/AccountHome.h"

#include <QFile>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace kivo::host {

std::optional<QString> homeFolderOf(const QString& userName)
{
    if (userName.isEmpty())
        return std::nullopt;
    const QByteArray name = userName.toUtf8();
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir)
        return std::nullopt;
    return QString::fromLocal8Bit(found->pw_dir);
}

std::optional<QString> ownerNameOf(const QString& path)
{
    struct stat st {};
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(st.st_uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_name)
        return std::nullopt;
    return QString::fromLocal8Bit(found->pw_name);
}

} // namespace kivo::host
