// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QCoroTask>
#include <QFile>
#include <QObject>
#include <QSocketNotifier>

#include <optional>

namespace kivo::cli {

// Reads lines typed on a terminal (or written into a pipe) while the event
// loop goes on: the connection a prompt waits beside keeps moving.
class LineReader : public QObject {
    Q_OBJECT
public:
    explicit LineReader(int fd, QObject* parent = nullptr);

    // The next line, without its end and trimmed; none at the end of the input.
    QCoro::Task<std::optional<QString>> readLine();

Q_SIGNALS:
    void lineEnded();

private:
    void readReady();

    QFile m_file;
    QSocketNotifier m_notifier;
    QByteArray m_pending;
    std::optional<QString> m_line;
};

} // namespace kivo::cli
