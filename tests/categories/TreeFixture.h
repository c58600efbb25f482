// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/UserFolders.h"
#include "support/FileBytes.h"
#include "transfer/TransferManifest.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <ostream>

// Readable failure messages for paths.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace kivo::test {

// One string field of every entry, in order.
template <typename T>
QStringList pluck(const QList<T>& items, QString T::*field)
{
    QStringList out;
    for (const T& item : items)
        out.append(item.*field);
    return out;
}

inline QStringList relativePaths(const QList<TransferManifest::FileItem>& items)
{
    return pluck(items, &TransferManifest::FileItem::relativePath);
}

// What the transfer would do: each item at its relative path under the destination home.
inline QStringList deliver(const QList<TransferManifest::FileItem>& items, const QString& destination)
{
    QStringList received;
    for (const auto& item : items) {
        received.append(UserFolders(destination).expandTilde(item.relativePath));
        writeBytes(received.last(), readBytes(item.absolutePath()));
    }
    return received;
}

// Tests that point the session bus elsewhere give the caller's back.
class KeepsSessionBus : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (m_savedBus.isEmpty())
            qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        else
            qputenv("DBUS_SESSION_BUS_ADDRESS", m_savedBus);
    }
    const QByteArray m_savedBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
};

// A throwaway home folder with helpers to lay out files in it.
class TreeFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    QString home() const { return m_dir.path() + QStringLiteral("/home"); }
    QString at(const QString& relative) const { return home() + QLatin1Char('/') + relative; }

    void makeFile(const QString& relative, qsizetype bytes, mode_t mode = 0644)
    {
        writeBytes(at(relative), QByteArray(bytes, 'x'));
        ASSERT_EQ(::chmod(QFile::encodeName(at(relative)).constData(), mode), 0);
    }
    void makeDir(const QString& relative) { ASSERT_TRUE(QDir().mkpath(at(relative))); }
    void makeLink(const QString& target, const QString& relative)
    {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(at(relative)).path()));
        ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(at(relative)).constData()), 0);
    }
    // What `du` would count for one file: its blocks, not its length.
    static std::uint64_t onDisk(const QString& path)
    {
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            return 0;
        return std::uint64_t(st.st_blocks) * 512u;
    }
    std::uint64_t onDiskAt(const QString& relative) const { return onDisk(at(relative)); }
    // A folder outside the home, for links that point out of the tree.
    QString outside() const { return m_dir.path() + QStringLiteral("/elsewhere"); }

private:
    QTemporaryDir m_dir;
};

} // namespace kivo::test
