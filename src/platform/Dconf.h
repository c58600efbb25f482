// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/CommandRunner.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kivo::dconf {

// The start of a settings database file that says whether it can be one.
inline constexpr qsizetype kHeaderBytes = 24;

// Why a file of `size` bytes starting with `head` is no settings database
// (wrong signature, unknown version, a table past its end), or empty.
QString databaseProblem(QByteArrayView head, std::uint64_t size);

// The database of a home: <home>/.config/dconf/user.
QString databasePath(const QString& homeFolder);

// Every key of the home's own database, as keyfile text ("[dir]" sections of
// key=typed value lines), read straight from the file without any bus and
// without system-wide defaults. Empty when the home has no database. Throws
// SystemError saying why when the file is not a database or cannot be read.
QByteArray dumpHome(const QString& homeFolder);

// Writes each key of the keyfile text through the settings service of the
// bus the options name; keys not in it are kept. Throws SystemError with the reason.
void load(const QByteArray& keyfile, const CommandOptions& client);

// Unsets each key through that service, so its default shows again. Throws
// SystemError with the reason at the first it refuses.
void reset(const QStringList& keys, const CommandOptions& client);

// One key's typed value through that service; nothing when unset or unreachable.
std::optional<QString> read(const QString& key, const CommandOptions& client);

} // namespace kivo::dconf
