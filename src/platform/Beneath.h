// SPDX-License-Identifier: Apache-2.0
#pragma once

// Platform-internal: shared by the adapters that act beneath a home folder.

#include "platform/FileSystem.h"

#include <QByteArray>

#include <optional>

struct stat;

namespace kivo::fs {

// One call that resolves `relative` below `dir` and refuses every symbolic
// link on the way; -1 with ENOSYS (old kernels) or EPERM (filtered) where it
// is not available.
int openBeneath(int dir, const QByteArray& relative, int flags);

// openat() for reading that leaves the file's access time as it was, where the
// caller owns the file (only an owner may ask); anyone else's is opened as usual.
int openKeepingAccessTime(int dir, const char* path, int flags);

FileStatus statusOf(const struct stat& st);

} // namespace kivo::fs
