// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <stdexcept>

#include <sys/stat.h>

namespace kivo::test {

// Creates the folders on the way; `mode`, when given, replaces the file's permissions.
inline void writeBytes(const QString& path, const QByteArray& bytes, QFile::Permissions mode = {})
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write test file");
    f.close();
    if (mode)
        f.setPermissions(mode);
}

inline QByteArray readBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Bytes that differ from chunk to chunk, so a chunk in the wrong place shows.
inline QByteArray patterned(qsizetype size, int seed)
{
    QByteArray out(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        out[i] = char((i * 31 + seed * 7) ^ (i >> 11));
    return out;
}

// The inode a path names itself (a link is not followed), 0 when it is missing.
inline ino_t inodeOf(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace kivo::test
