// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace kivo {

// Who is at the other end of a connected local socket, as the kernel saw it at connect time.
struct PeerCredentials {
    int pid = 0;
    unsigned uid = 0;
    unsigned gid = 0;
};

std::optional<PeerCredentials> peerCredentials(long long socketDescriptor);

// True when the process runs one of `allowed` (compared by device and inode,
// not by name) and that file is owned by root and writable by no one else:
// only then does naming it say something about who runs it.
bool runsTrustedExecutable(int pid, const QStringList& allowed);

// Why `file` cannot vouch for its process (not root's, group/other-writable,
// missing); nothing when it can.
std::optional<QString> untrustedExecutableReason(const QString& file);

} // namespace kivo
