// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"
#include "platform/UniqueFd.h"

#include <QByteArrayView>
#include <QString>

#include <cstdint>

namespace kivo {

// Rewrites one regular file in place without ever holding it whole: the new
// content goes to a hidden file beside it, which takes the old one's mode and
// owner and then replaces it in one step. Nothing changes unless commit() is
// reached. A link (the file itself, or, below `homeFolder`, any folder on the
// way) is refused. Failures throw SystemError.
class FileReplacement {
public:
    FileReplacement(const QString& homeFolder, const QString& path);
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    std::uint64_t size() const { return m_size; }
    // Reads the next bytes of the original; 0 at its end.
    std::int64_t read(char* into, std::int64_t length);
    // Starts reading the original again from its first byte.
    void rewind();
    // Appends to the new content (created on the first call).
    void write(QByteArrayView bytes);
    void commit();

private:
    QString m_path;
    UniqueFd m_parent;
    QByteArray m_leaf;
    QByteArray m_tempLeaf;
    UniqueFd m_source;
    UniqueFd m_temp;
    std::uint64_t m_size = 0;
    unsigned m_uid = 0;
    unsigned m_gid = 0;
    std::uint16_t m_mode = 0;
    std::int64_t m_sourceDevice = 0;
    std::int64_t m_sourceInode = 0;
    bool m_committed = false;
};

} // namespace kivo
