// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/UniqueFd.h"

#include <QObject>

class QSocketNotifier;

namespace kivo {

// Turns SIGINT and SIGTERM into a Qt signal on the main thread, so a running
// flow can be cancelled by an await instead of a polled flag. While an
// instance lives, the two signals no longer end the process; the previous
// handling comes back when it goes. One instance at a time.
class InterruptNotifier : public QObject {
    Q_OBJECT
public:
    explicit InterruptNotifier(QObject* parent = nullptr);
    ~InterruptNotifier() override;

    bool wasInterrupted() const { return m_interrupted; }

Q_SIGNALS:
    void interrupted();

private:
    void drain();

    UniqueFd m_readEnd;
    UniqueFd m_writeEnd;
    QSocketNotifier* m_notifier = nullptr;
    bool m_interrupted = false;
};

} // namespace kivo
