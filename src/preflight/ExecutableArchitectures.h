// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace kivo {

// The processor architectures an executable's header names ("x86_64",
// "arm64", "i386"): a Mach-O file (thin or universal, either byte order) or an
// ELF file. Empty for anything else, and for architectures outside that list.
QStringList architecturesOfHeader(const QByteArray& header);
// The same for a file; only its first few kilobytes are read.
QStringList executableArchitectures(const QString& path);

} // namespace kivo
