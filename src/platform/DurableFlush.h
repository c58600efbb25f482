// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kivo::fs {

// Makes everything written so far to the file system holding `path` durable:
// data, new names and renames alike, in one call for the whole volume, which
// costs far less than one flush per file. Throws SystemError.
void flushFileSystemOf(const QString& path);

} // namespace kivo::fs
