#include "platform/AccountHome.h"

#include <pwd.h>
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

} // namespace kivo::host
