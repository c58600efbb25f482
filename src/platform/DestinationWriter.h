// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"
#include "platform/FileMetadata.h"
#include "platform/FileSystem.h"
#include "platform/UniqueFd.h"

#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>

namespace kivo {

// A failed file-system call on the destination, with its errno.
class WriteFailure : public SystemError {
public:
    WriteFailure(int error, QString message) : SystemError(std::move(message)), m_error(error) {}
    int error() const { return m_error; }
    bool isDiskFull() const;

private:
    int m_error;
};

// What is set on a received entry besides its bytes.
struct EntryMetadata {
    std::optional<std::uint16_t> mode;
    std::optional<fs::FileTime> modified;
    QList<fs::ExtendedAttribute> attributes;
};

// Writes received files without ever following a symbolic link: every folder
// on the way is opened relative to its parent with O_NOFOLLOW, so a link
// planted inside the destination tree cannot redirect a write outside it.
// Paths below `homeFolder` are walked from the home folder, others from "/".
// Not thread-safe; callers use it from one thread at a time.
class DestinationWriter {
public:
    explicit DestinationWriter(QString homeFolder);
    ~DestinationWriter();
    DestinationWriter(const DestinationWriter&) = delete;
    DestinationWriter& operator=(const DestinationWriter&) = delete;

    // Writes `data` at `offset`; `truncate` starts the file afresh. Missing folders are created.
    // With `sparse`, blocks of zeros are left as holes instead of being written.
    void write(const QString& absolutePath, std::int64_t offset, QByteArrayView data, bool truncate,
               bool sparse = false);
    // Free bytes on the home folder's volume, re-read from the system only when
    // the last reading is old or the space is getting short: asking for every
    // chunk costs a system call per file.
    std::uint64_t freeSpace(std::uint64_t needed);
    void setMode(const QString& absolutePath, std::uint16_t mode);
    // Sets the attributes, then the time, of a written file (its mode is setMode's).
    // Returns the names of the attributes the file system refused.
    QList<QByteArray> applyMetadata(const QString& absolutePath, const EntryMetadata& metadata);
    // Creates the folder where missing, never through a link, and sets its mode,
    // attributes and time. Returns the names of the attributes refused.
    QList<QByteArray> placeFolder(const QString& absolutePath, const EntryMetadata& metadata);
    enum class LinkPlacement { created, alreadyThere, kept };
    // A symbolic link with `target` as its text, which is never followed here.
    // Something else at the path stays (`kept`) unless `replace` is set; a folder always stays.
    LinkPlacement placeLink(const QString& absolutePath, const QByteArray& target,
                            const std::optional<fs::FileTime>& modified, bool replace);
    enum class HardLinkPlacement { created, alreadyThere, kept };
    // Gives the regular file at `targetPath` the further name `linkPath`, made
    // first as `scratchPath` in the same folder, so the name appears whole or not
    // at all. What is at `linkPath` is replaced only when `replace` is set;
    // `alreadyThere` when it is that very file. Neither path is followed through a link.
    HardLinkPlacement placeHardLink(const QString& targetPath, const QString& scratchPath, const QString& linkPath,
                                    bool replace);
    // The target of the link at the path, or nothing when no link is there.
    std::optional<QByteArray> linkTarget(const QString& absolutePath) const;
    // A read-only descriptor opened the same careful way, never waiting on a pipe at the path.
    UniqueFd openForReading(const QString& absolutePath) const;
    void remove(const QString& absolutePath);
    // Moves a finished file from its temporary name to its final one (both in
    // the same folder), replacing what is there only when `replace` is set. False
    // when the final name is taken and must be kept.
    bool commit(const QString& partialPath, const QString& finalPath, bool replace);
    // Size of a regular file, or nullopt when there is none.
    std::optional<std::uint64_t> regularFileSize(const QString& absolutePath) const;
    // Closes the descriptors kept between chunks of one file.
    void closeCurrent();
    // The status of the file being written, read from its descriptor; nothing
    // when `absolutePath` is not that file.
    std::optional<fs::FileStatus> currentStatus(const QString& absolutePath) const;

private:
    int openParent(const QString& absolutePath, bool create, QString* leaf) const;
    int openFile(const QString& absolutePath, bool truncate);
    void writeSparse(const QString& absolutePath, std::int64_t offset, QByteArrayView data);

    QString m_home;
    // Opened once: verification threads resolve their files beneath it.
    int m_homeFd = -1;
    std::uint64_t m_freeReading = 0;
    std::uint64_t m_writtenSinceReading = 0;
    std::int64_t m_readingTakenMs = -1;
    QString m_currentPath;
    int m_currentFd = -1;
    // The folder of the last file written: the next file usually lives there too.
    QString m_parentPath;
    int m_parentFd = -1;
};

} // namespace kivo
