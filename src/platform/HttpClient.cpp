#include "platform/HttpClient.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <QCoroSignal>

#include <memory>

namespace kivo {

QCoro::Task<HttpResponse> sendHttpRequest(QNetworkAccessManager& network, HttpRequest request)
{
    HttpResponse response;
    const QString scheme = request.url.scheme();
    if (!request.url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        response.error = QStringLiteral("Not an http or https address: %1").arg(request.url.toDisplayString());
        co_return response;
    }

    QNetworkRequest req(request.url);
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    req.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    if (!request.body.isEmpty() && !request.contentType.isEmpty())
        req.setHeader(QNetworkRequest::ContentTypeHeader, request.contentType);

    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> reply(
        network.sendCustomRequest(req, request.method, request.body), [](QNetworkReply* r) {
            r->disconnect();
            r->abort();
            r->deleteLater();
        });
    QNetworkReply* r = reply.get();

    bool abandoned = false;
    auto abandon = [&] {
        abandoned = true;
        r->abort();
    };
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, r, [&] {
        response.timedOut = true;
        abandon();
    });
    deadline.start(request.timeout);

    QObject::connect(r, &QNetworkReply::metaDataChanged, r, [&] {
        const QVariant status = r->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid())
            response.status = status.toInt();
        if (request.statusOnly && response.hasStatus())
            abandon();
    });
    QObject::connect(r, &QNetworkReply::readyRead, r, [&] {
        const QByteArray chunk = r->readAll();
        if (request.statusOnly)
            return;
        if (response.body.size() + chunk.size() > request.maxResponseBytes) {
            response.bodyTooLarge = true;
            response.body.clear();
            abandon();
            return;
        }
        response.body += chunk;
    });

    if (!r->isFinished())
        co_await qCoro(r, &QNetworkReply::finished);
    deadline.stop();

    if (!abandoned) {
        const QVariant status = r->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid())
            response.status = status.toInt();
        if (!request.statusOnly) {
            const QByteArray rest = r->readAll();
            if (response.body.size() + rest.size() > request.maxResponseBytes) {
                response.bodyTooLarge = true;
                response.body.clear();
            } else {
                response.body += rest;
            }
        }
    }
    if (response.timedOut)
        response.error = QStringLiteral("No answer within %1 s").arg(double(request.timeout.count()) / 1000.0);
    else if (response.bodyTooLarge)
        response.error = QStringLiteral("Reply larger than %1 bytes").arg(request.maxResponseBytes);
    else if (!response.hasStatus())
        response.error = r->errorString();
    co_return response;
}

} // namespace kivo
