// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/FileSystem.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

namespace kivo::fs {

// One entry of a folder as a tree scan sees it: links are described as
// themselves (Kind::other), never as what they point to.
struct DirectoryEntry {
    QString name;
    FileStatus status;
    // Extended attribute names of a regular file, without the platform's user
    // namespace prefix ("com.dropbox.attrs"); filled only when asked for.
    QList<QByteArray> attributes;
};

// The entries of `path` ("." and ".." left out), hidden ones included, in the
// file system's order. Nothing when `path` is not a folder that can be listed;
// entries that vanish or cannot be examined while listed are left out.
// `path` itself is not followed when it is a link unless `followRoot`.
std::optional<QList<DirectoryEntry>> listDirectory(const QString& path, bool withAttributes, bool followRoot = false);

// Extended attribute names of `path` (not followed through a link), as above.
QList<QByteArray> extendedAttributes(const QString& path);

// Every regular file below `root` whose name ends in `suffix`, with its status;
// hidden entries included, links never followed. Only the matches are
// examined, so a large tree costs little more than listing its names.
QList<std::pair<QString, FileStatus>> filesEndingWith(const QString& root, const QByteArray& suffix);

} // namespace kivo::fs
