// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <optional>

namespace kivo {

// Names that are not UTF-8 cannot be JSON text. On the wire such a name is
// spelled with each byte that is not UTF-8 as U+FFFD followed by the byte in
// two hex digits (a U+FFFD of the name itself is spelled as its three bytes),
// and the item says so by carrying the raw bytes next to it. Every other name
// is sent as it is. The spelling is one to one, so it serves as the item's key.

// True when the name must travel escaped.
bool needsEscaping(QStringView heldName);
// The wire spelling of a name as the program holds it (see platform/NameBytes.h).
QString toWireName(QStringView heldName);
// The held name back from its wire spelling; nothing when the spelling is malformed.
std::optional<QString> fromWireName(QStringView wireName);

} // namespace kivo
