// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kivo::fs {

// The bytes of a regular file no larger than `maxBytes` (a link to one is
// followed). Nothing for anything else: a FIFO, a device, a folder, a file
// that is too big or unreadable. Never blocks on what is not a file.
std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes);

} // namespace kivo::fs
