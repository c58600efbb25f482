// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kivo {

// True when the block device holding `path` is, or sits on, a dm-crypt mapping
// (device-mapper uuid "CRYPT-…", followed down through each device's slaves).
// `sysfsRoot` is relocatable for tests; false whenever nothing can be read.
bool isOnEncryptedVolume(const QString& path, const QString& sysfsRoot);
// The same question for a device already known as "major:minor".
bool isEncryptedBlockDevice(const QString& majorMinor, const QString& sysfsRoot);

} // namespace kivo
