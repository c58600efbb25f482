// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace kivo {

// What a path held at one moment. Inode, change time, size and modification
// time together: the change time moves on every write, chmod, chown, xattr
// change or replacement and cannot be set back by anyone but the kernel, so
// comparing these tells a later change apart without reading a byte again.
struct PathState {
    bool isFolder = false;
    std::uint64_t size = 0;
    std::int64_t modifiedSecs = 0;
    std::int64_t modifiedNsecs = 0;
    std::int64_t changedSecs = 0;
    std::int64_t changedNsecs = 0;
    std::uint64_t inode = 0;

    // Nothing when nothing is there.
    static std::optional<PathState> of(const QString& path);
    bool operator==(const PathState&) const = default;
};

// One path a migration touched, as the record beside the vault keeps it.
struct ChangeEntry {
    enum class Kind : char {
        replaced = 'r',      // a file that was there and was written over
        created = 'c',       // a file that was not there
        folderTouched = 'd', // a folder that was there and got files
        folderCreated = 'n', // a folder made for the files
    };
    Kind kind = Kind::replaced;
    QString category;
    QString relative; // home-relative
    std::optional<PathState> before;
    // Once the migration finished; unknown (nullopt with afterKnown false) while it runs or when it never did.
    bool afterKnown = false;
    std::optional<PathState> after;

    bool isFolder() const { return kind == Kind::folderTouched || kind == Kind::folderCreated; }
};

// The record is NUL-separated fields, five per entry, written and read as a
// stream: a migration of millions of files never has its list in memory.
QByteArray encodeEntry(const ChangeEntry& entry);

class ChangeEntryReader {
public:
    // Throws VaultError(failed) when the file cannot be opened.
    explicit ChangeEntryReader(const QString& path);
    // The next entry; nothing at the end. Throws VaultError(failed) on a damaged record.
    std::optional<ChangeEntry> next();

private:
    std::optional<QByteArray> field();

    QFile m_file;
    QByteArray m_buffer;
    qsizetype m_position = 0;
    bool m_atEnd = false;
};

// Every entry of the record at `path`, in order.
void forEachEntry(const QString& path, const std::function<void(const ChangeEntry&)>& visit);

// A state as its record field, and back ("-": nothing there, "?": not known).
QByteArray encodeState(bool known, const std::optional<PathState>& state);
// False when the field is malformed.
bool decodeState(const QByteArray& field, bool* known, std::optional<PathState>* state);

} // namespace kivo
