#pragma once

#include <QtGlobal>

#include <memory>

namespace kivo {

// Scratch space in a nameless file, mapped into memory: a message larger than
// a process should hold lands there instead of on the heap, and the pages a
// reader is done with leave the process's memory (their bytes stay in the file).
class SpoolFile {
public:
    // A zero-filled file of `size` bytes in the temporary folder, gone when
    // the last owner lets go. Throws SystemError.
    static std::shared_ptr<SpoolFile> create(qint64 size);
    ~SpoolFile();
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    char* data() const { return m_data; }
    qint64 size() const { return m_size; }
    // Pages wholly inside [from, to) are handed back; touching them again reads them from the file.
    void release(qint64 from, qint64 to) const;

private:
    SpoolFile(char* data, qint64 size) : m_data(data), m_size(size) {}
    char* m_data;
    qint64 m_size;
};

} // namespace kivo
