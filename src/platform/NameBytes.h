// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>

namespace kivo::fs {

// File names are byte strings; most are UTF-8 but any byte but '/' and NUL is
// allowed. Names travel through the program as QString: each byte that is not
// part of valid UTF-8 is held as the lone surrogate U+DC00 + byte, so the
// original bytes come back exactly when the name is handed to the system.

// The name as the program holds it.
QString nameFromBytes(QByteArrayView bytes);
// The bytes to hand to the system: the inverse of nameFromBytes.
QByteArray nameToBytes(QStringView name);
// True when the name holds bytes that are not UTF-8 (it came from nameFromBytes with such bytes).
bool holdsRawBytes(QStringView name);

} // namespace kivo::fs
