// SPDX-License-Identifier: Apache-2.0
#include "platform/PeerCredentials.h"

#include <QFile>

#include <sys/socket.h>
#include <sys/stat.h>

namespace kivo {

std::optional<PeerCredentials> peerCredentials(long long socketDescriptor)
{
    struct ucred cred {};
    socklen_t length = sizeof cred;
    if (::getsockopt(static_cast<int>(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0)
        return std::nullopt;
    return PeerCredentials{cred.pid, static_cast<unsigned>(cred.uid), static_cast<unsigned>(cred.gid)};
}

std::optional<QString> untrustedExecutableReason(const QString& file)
{
    struct stat st {};
    if (::stat(QFile::encodeName(file).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return QStringLiteral("not a file");
    if (st.st_uid != 0)
        return QStringLiteral("not owned by root");
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return QStringLiteral("writable by group or others");
    return std::nullopt;
}

bool runsTrustedExecutable(int pid, const QStringList& allowed)
{
    struct stat running {};
    const QByteArray exe = "/proc/" + QByteArray::number(pid) + "/exe";
    if (pid <= 0 || ::stat(exe.constData(), &running) != 0)
        return false;
    for (const QString& file : allowed) {
        struct stat st {};
        if (::stat(QFile::encodeName(file).constData(), &st) != 0)
            continue;
        if (st.st_dev == running.st_dev && st.st_ino == running.st_ino && !untrustedExecutableReason(file))
            return true;
    }
    return false;
}

} // namespace kivo
