// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArrayView>
#include <QtGlobal>

#include <memory>

namespace kivo {

// Scratch space in a nameless file: a message larger than a process should
// hold is written there as it arrives, then read through a mapping whose
// pages the reader hands back as it goes (their bytes stay in the file).
class SpoolFile {
public:
    // An empty file in the temporary folder, gone when the last owner lets go. Throws SystemError.
    static std::shared_ptr<SpoolFile> create();
    ~SpoolFile();
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    // Adds bytes at the end. Throws SystemError (a full disk among them).
    void append(QByteArrayView bytes);
    qint64 size() const { return m_size; }
    // Maps what was appended for reading; nothing is appended after. Throws SystemError.
    void finish();
    const char* data() const { return m_data; }
    // Pages wholly inside [from, to) are handed back; touching them again reads them from the file.
    void release(qint64 from, qint64 to) const;

private:
    explicit SpoolFile(int fd) : m_fd(fd) {}
    int m_fd;
    qint64 m_size = 0;
    char* m_data = nullptr;
};

} // namespace kivo
