// SPDX-License-Identifier: Apache-2.0
#include "platform/Accounts.h"

#include "platform/HomeVolume.h"

#include <QFile>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

namespace kivo {
namespace {

SystemAccount fromEntry(const struct passwd& pw)
{
    return {QString::fromLocal8Bit(pw.pw_name), static_cast<unsigned>(pw.pw_uid), static_cast<unsigned>(pw.pw_gid),
            QString::fromLocal8Bit(pw.pw_dir ? pw.pw_dir : ""), QString::fromLocal8Bit(pw.pw_gecos ? pw.pw_gecos : "")};
}

// getpwent keeps one cursor for the whole process.
std::mutex g_passwdLock;

} // namespace

QList<SystemAccount> systemAccounts()
{
    std::lock_guard lock(g_passwdLock);
    QList<SystemAccount> out;
    ::setpwent();
    while (const struct passwd* pw = ::getpwent())
        out.append(fromEntry(*pw));
    ::endpwent();
    return out;
}

std::optional<SystemAccount> accountNamed(const QString& name)
{
    if (name.isEmpty())
        return std::nullopt;
    struct passwd pw {};
    struct passwd* found = nullptr;
    char buffer[16384];
    if (::getpwnam_r(QFile::encodeName(name).constData(), &pw, buffer, sizeof buffer, &found) != 0 || !found)
        return std::nullopt;
    return fromEntry(pw);
}

std::optional<SystemAccount> accountWithUid(unsigned uid)
{
    struct passwd pw {};
    struct passwd* found = nullptr;
    char buffer[16384];
    if (::getpwuid_r(static_cast<uid_t>(uid), &pw, buffer, sizeof buffer, &found) != 0 || !found)
        return std::nullopt;
    return fromEntry(pw);
}

bool isOnNetworkFileSystem(const QString& path)
{
    const std::optional<quint64> type = fileSystemTypeOf(path);
    return type && isNetworkFileSystemType(*type);
}

bool becomeUser(unsigned uid, unsigned gid)
{
    const gid_t groups[] = {static_cast<gid_t>(gid)};
    if (::setgroups(1, groups) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0)
        return false;
    // No way back.
    return ::setuid(0) != 0 || uid == 0;
}

bool systemdIsRunning()
{
    struct stat st {};
    return ::lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

unsigned effectiveUid()
{
    return static_cast<unsigned>(::geteuid());
}

} // namespace kivo
