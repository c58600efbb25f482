// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/MDMSafetyChecker.h"
#include "transfer/UserMapping.h"

#include <QString>
#include <optional>

namespace kivo {

// Why a path received from the peer is not written.
enum class PathRefusal {
    invalid,       // relative, "~user/…", NUL, empty, "." or ".." components
    tooLong,       // a component over 255 bytes or a path of 4,096 bytes or more
    outsideHome,   // does not lie beneath the home folder
    protectedPath, // a system path device management keeps its state in
};
// The text a refused chunk's nack carries.
QString toString(PathRefusal refusal);

struct WirePathCheck {
    QString destination; // where to write; empty when refused
    std::optional<PathRefusal> refusal;
};

// Where a path from the wire ("~/…", or absolute) lands on this machine, or why
// it must not be written. An absolute path under the mapping's source home moves
// to its destination home; "~/" is expanded against `home`; the result must lie
// strictly beneath `home` and pass `safety`. Nothing is normalised: a path that
// needs it is refused. Pure: touches no file.
WirePathCheck checkWirePath(const QString& wirePath, const QString& home, const std::optional<UserMapping>& mapping,
                            const MDMSafetyChecker& safety);

// A peer's path as a log line may show it: control characters (NUL, line
// breaks) escaped, so the log shows the whole name and cannot be forged.
QByteArray forLog(const QString& wirePath);

} // namespace kivo
