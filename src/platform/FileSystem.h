#pragma once

#include "platform/UniqueFd.h"

#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <cstdio>

namespace kivo {

// Plain file operations the layers above need, so none of them talks to the
// system directly. Failures throw SystemError with the path and the reason.
namespace fs {

// Writes every byte, retrying short writes and interruptions.
void writeAll(int fd, QByteArrayView bytes, const QString& pathForErrors);
// Replaces `path` in one step: readers see the old content or the new, never a
// mix, also after a crash. The folder is created when missing.
void writeFileAtomically(const QString& path, QByteArrayView bytes);
// Opened for appending, created with owner-only access; `truncate` starts it empty.
UniqueFd openForAppend(const QString& path, bool truncate);
// Read-only, refusing a symbolic link in the last component.
UniqueFd openForReading(const QString& path);
// Size of an open file; 0 when it cannot be read.
std::uint64_t sizeOf(const UniqueFd& file);
// Free bytes for an unprivileged writer on the volume holding `path`; 0 when unknown.
std::uint64_t freeBytesAt(const QString& path);
// Sets the modification and access time (seconds since the epoch) and the permission bits.
void setTimesAndMode(const QString& path, std::int64_t modifiedSecs, std::uint16_t mode);
// True when the stream is an interactive terminal.
bool isTerminal(std::FILE* stream);
// The text of the last system error.
QString lastErrorText();

} // namespace fs
} // namespace kivo
