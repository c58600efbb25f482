// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

#include <chrono>

namespace kivo {

// Keeps the machine awake through the login manager on the system bus. The
// lock is a file descriptor the manager hands out: closing it releases the
// lock, and the kernel closes it when this process dies, however it dies.
class SleepInhibitor : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{5000};

    explicit SleepInhibitor(QDBusConnection bus, std::chrono::milliseconds timeout = kDefaultTimeout,
                            QObject* parent = nullptr);

    // Asks for sleep and idle to be blocked; nothing when held or asked already.
    void acquire(const QString& who, const QString& why);
    // Gives the lock back, or drops it as it arrives when the answer is still out.
    void release();
    bool isHeld() const { return m_lock.isValid(); }

Q_SIGNALS:
    void heldChanged(bool held);
    void failed(const QString& reason);

private:
    QDBusConnection m_bus;
    std::chrono::milliseconds m_timeout;
    QDBusUnixFileDescriptor m_lock;
    // Bumped by release(): an answer to an older request is dropped.
    quint64 m_generation = 0;
    bool m_asking = false;
};

} // namespace kivo
