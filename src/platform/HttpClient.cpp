#include "platform/HttpClient.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <QCoroSignal>

#include <memory>

namespace kivo {

namespace {

QNetworkRequest networkRequestFor(const HttpRequest& request)
{
    QNetworkRequest req(request.url);
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    req.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    if (!request.body.isEmpty() && !request.contentType.isEmpty())
        req.setHeader(QNetworkRequest::ContentTypeHeader, request.contentType);
    return req;
}

// What the finished reply still holds, and why there is no usable answer when there is none.
void finishResponse(HttpResponse& response, QNetworkReply& r, const HttpRequest& request, bool abandoned)
{
    if (!abandoned) {
        const QVariant status = r.attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid())
            response.status = status.toInt();
        if (!request.statusOnly) {
            const QByteArray rest = r.readAll();
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
        response.error = r.errorString();
}

} // namespace

QCoro::Task<HttpResponse> sendHttpRequest(QNetworkAccessManager& network, HttpRequest request)
{
    HttpResponse response;
    const QString scheme = request.url.scheme();
    if (!request.url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        response.error = QStringLiteral("Not an http or https address: %1").arg(request.url.toDisplayString());
        co_return response;
    }

    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> reply(
        network.sendCustomRequest(networkRequestFor(request), request.method, request.body), [](QNetworkReply* r) {
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

    // Aborting from inside the reply's own signal upsets Qt's bookkeeping; a
    // zero timer owned here does it from the loop instead.
    QTimer abortSoon;
    abortSoon.setSingleShot(true);
    QObject::connect(&abortSoon, &QTimer::timeout, r, [&] {
        if (!r->isFinished())
            abandon();
    });
    QObject::connect(r, &QNetworkReply::metaDataChanged, r, [&] {
        const QVariant status = r->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid())
            response.status = status.toInt();
        if (request.statusOnly && response.hasStatus())
            abortSoon.start(0);
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
    abortSoon.stop();

    finishResponse(response, *r, request, abandoned);
    co_return response;
}

} // namespace kivo
