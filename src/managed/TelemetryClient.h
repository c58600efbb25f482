// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QObject>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>


namespace kivo {

// Posts one small JSON envelope per managed-mode event. A slow or dead
// endpoint never holds up the migration: posts go out one after another, in
// event order, from a sender of their own; failures are only logged.
class TelemetryClient : public QObject {
    Q_OBJECT
public:
    TelemetryClient(QUrl endpoint, std::optional<QString> hostname, QString appVersion, QObject* parent = nullptr);
    ~TelemetryClient() override;

    // Each post's whole exchange; also the most `drain` waits.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    // Keys sorted; absent optionals and empty details are left out.
    static QByteArray envelope(const QString& event, const std::optional<QString>& principal,
                               const QMap<QString, QString>& details, const std::optional<QString>& hostname,
                               const QString& appVersion, const QDateTime& at);

    // Returns at once; the post follows those before it.
    void post(QString event, std::optional<QString> principal, QMap<QString, QString> details = {});
    // Before exit: waits for the posts not yet done, at most one timeout in
    // all; what is left then is given up, with a line each.
    QCoro::Task<void> drain();
    // Nothing left to send, or what was left given up.
    bool isIdle() const { return m_abandoned || (!m_sending && m_pending.empty()); }

Q_SIGNALS:
    void idle();

private:
    struct Pending {
        QString event;
        QByteArray body;
    };
    QCoro::Task<void> sendAll();

    QUrl m_endpoint;
    std::optional<QString> m_hostname;
    QString m_appVersion;
    std::chrono::milliseconds m_timeout{60000};
    std::deque<Pending> m_pending;
    bool m_sending = false;
    bool m_abandoned = false;
};

} // namespace kivo
