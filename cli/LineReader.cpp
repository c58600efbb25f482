// SPDX-License-Identifier: Apache-2.0
#include "cli/LineReader.h"

#include <QCoroSignal>

namespace kivo::cli {

namespace {
// A code is six digits; a line longer than this is not an answer worth keeping whole.
constexpr qsizetype kMaxLine = 4096;
} // namespace

LineReader::LineReader(int fd, QObject* parent) : QObject(parent), m_notifier(fd, QSocketNotifier::Read)
{
    m_file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle);
    m_notifier.setEnabled(false);
    connect(&m_notifier, &QSocketNotifier::activated, this, &LineReader::readReady);
}

// Called when the input is readable: a terminal holds a whole line by then, a
// pipe at least one byte. One byte at a time, so nothing past the line's end
// is taken from the next reader, and no read waits on bytes not there yet.
void LineReader::readReady()
{
    char c = 0;
    const qint64 got = m_file.read(&c, 1);
    if (got <= 0) {
        m_line = m_pending.isEmpty() ? std::nullopt : std::optional(QString::fromUtf8(m_pending).trimmed());
        m_pending.clear();
        m_notifier.setEnabled(false);
        Q_EMIT lineEnded();
        return;
    }
    if (c != '\n') {
        if (m_pending.size() < kMaxLine)
            m_pending.append(c);
        return;
    }
    m_line = QString::fromUtf8(m_pending).trimmed();
    m_pending.clear();
    m_notifier.setEnabled(false);
    Q_EMIT lineEnded();
}

QCoro::Task<std::optional<QString>> LineReader::readLine()
{
    m_line.reset();
    m_notifier.setEnabled(true);
    co_await qCoro(this, &LineReader::lineEnded);
    co_return std::exchange(m_line, std::nullopt);
}

} // namespace kivo::cli
