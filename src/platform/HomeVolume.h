// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <optional>

namespace kivo {

// What a home folder sits on: the file system's type (statfs magic) and
// whether what is written there is encrypted at rest.

std::optional<quint64> fileSystemTypeOf(const QString& path);
// NFS, SMB/CIFS, AFS, Coda, Ceph and NCP: a home there is the network's, not this machine's.
bool isNetworkFileSystemType(quint64 type);

// The folder itself carries an fscrypt policy (the kernel reports it encrypted).
bool isFolderEncrypted(const QString& path);
// dm-crypt beneath the volume, or fscrypt on the folder. `sysfsRoot` is relocatable for tests.
bool isHomeEncrypted(const QString& path, const QString& sysfsRoot = QStringLiteral("/sys"));

} // namespace kivo
