// SPDX-License-Identifier: Apache-2.0
#include "managed/TelemetryClient.h"

#include "platform/HttpClient.h"
#include "platform/Logging.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QDeadlineTimer>

#include <QCoroSignal>

namespace kivo {

TelemetryClient::TelemetryClient(QUrl endpoint, std::optional<QString> hostname, QString appVersion, QObject* parent)
    : QObject(parent), m_endpoint(std::move(endpoint)), m_hostname(std::move(hostname)),
      m_appVersion(appVersion.isEmpty() ? QStringLiteral("unknown") : std::move(appVersion))
{
}

TelemetryClient::~TelemetryClient() = default;

QByteArray TelemetryClient::envelope(const QString& event, const std::optional<QString>& principal,
                                     const QMap<QString, QString>& details, const std::optional<QString>& hostname,
                                     const QString& appVersion, const QDateTime& at)
{
    QJsonObject out{{QStringLiteral("timestamp"), at.toUTC().toString(Qt::ISODate)},
                    {QStringLiteral("event"), event},
                    {QStringLiteral("appVersion"), appVersion}};
    if (hostname)
        out.insert(QStringLiteral("device"), *hostname);
    if (principal)
        out.insert(QStringLiteral("principal"), *principal);
    if (!details.isEmpty()) {
        QJsonObject d;
        for (auto it = details.begin(); it != details.end(); ++it)
            d.insert(it.key(), it.value());
        out.insert(QStringLiteral("details"), d);
    }
    // QJsonObject keeps its keys sorted.
    return QJsonDocument(out).toJson(QJsonDocument::Compact);
}

void TelemetryClient::post(QString event, std::optional<QString> principal, QMap<QString, QString> details)
{
    if (m_abandoned)
        return;
    QByteArray body = envelope(event, principal, details, m_hostname, m_appVersion, QDateTime::currentDateTimeUtc());
    m_pending.push_back({std::move(event), std::move(body)});
    if (!m_sending)
        sendAll();
}

QCoro::Task<void> TelemetryClient::sendAll()
{
    QPointer<TelemetryClient> self(this);
    m_sending = true;
    while (!m_pending.empty() && !m_abandoned) {
        const Pending next = m_pending.front();
        HttpRequest request;
        request.url = m_endpoint;
        request.method = "POST";
        request.body = next.body;
        request.contentType = "application/json";
        request.timeout = m_timeout;
        request.statusOnly = true; // nothing of the reply is read but its status
        const HttpResponse response = co_await sendHttpRequest(std::move(request));
        if (!self)
            co_return;
        if (!m_pending.empty())
            m_pending.pop_front();
        if (!response.hasStatus())
            qCWarning(lcTelemetry).noquote()
                << QStringLiteral("Telemetry POST for %1 failed: %2").arg(next.event, response.error);
        else if (response.status < 200 || response.status > 299)
            qCWarning(lcTelemetry).noquote()
                << QStringLiteral("Telemetry endpoint returned HTTP %1 for %2").arg(response.status).arg(next.event);
    }
    m_sending = false;
    Q_EMIT idle();
}

QCoro::Task<void> TelemetryClient::drain()
{
    if (isIdle())
        co_return;
    const QDeadlineTimer deadline(m_timeout);
    while (!isIdle() && !deadline.hasExpired())
        co_await qCoro(this, &TelemetryClient::idle, std::chrono::milliseconds(std::max<qint64>(1, deadline.remainingTime())));
    if (isIdle())
        co_return;
    m_abandoned = true;
    for (const Pending& p : m_pending)
        qCWarning(lcTelemetry).noquote()
            << QStringLiteral("Telemetry POST for %1 failed: not sent before exit").arg(p.event);
    m_pending.clear();
}

} // namespace kivo
