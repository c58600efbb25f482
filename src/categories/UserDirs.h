// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/HomeLayout.h"

#include <QByteArrayView>
#include <QMap>
#include <QString>

#include <optional>

namespace kivo {

// A home's user folders by kind: "DOCUMENTS", "DESKTOP", "DOWNLOAD", "PICTURES",
// "MUSIC", "VIDEOS", "TEMPLATES", "PUBLICSHARE", each as a "~/" path.
using UserDirs = QMap<QString, QString>;

// The kinds userFiles moves, in its display order.
const QStringList& userFileDirKinds();

// What `~/.config/user-dirs.dirs` says, kind by kind. Lines are
// XDG_<KIND>_DIR="$HOME/name" or "/absolute/path"; a value that is the home
// itself (a disabled folder), lies outside the home, or holds "." or ".."
// components is left out, as is any line that does not parse.
UserDirs parseUserDirs(QByteArrayView text, const QString& homeFolder);

// A home's folders: for a Linux home its user-dirs.dirs over the English
// defaults; for a Mac-shaped home the fixed folders (videos in ~/Movies).
UserDirs userDirsOf(const QString& homeFolder, HomeLayoutKind layout);
// The English defaults of a layout, for a peer that did not say its own.
UserDirs defaultUserDirs(HomeLayoutKind layout);

// Where a "~/" path under one of the source's user folders lands here: the same
// place under this home's folder of that kind. Other paths come back unchanged.
QString relocateUserDirPath(const QString& tildePath, const UserDirs& source, const UserDirs& destination);

} // namespace kivo
