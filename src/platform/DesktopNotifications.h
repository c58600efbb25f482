// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <chrono>

namespace kivo {

// One notice for the desktop's notification list.
struct DesktopNotice {
    QString summary;
    QString body;
    QString desktopEntry; // without ".desktop": the shell shows the application's name and icon
    QString icon;
};

// The desktop's notification service on the session bus. Posting never blocks:
// the answer, or the lack of one within the deadline, arrives as a signal.
class DesktopNotifications : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{5000};

    explicit DesktopNotifications(QDBusConnection bus, std::chrono::milliseconds timeout = kDefaultTimeout,
                                  QObject* parent = nullptr);

    void post(const DesktopNotice& notice);

Q_SIGNALS:
    void posted(uint id);
    // No service, no answer in time, or an answer that is not an id.
    void failed(const QString& reason);

private:
    QDBusConnection m_bus;
    std::chrono::milliseconds m_timeout;
};

} // namespace kivo
