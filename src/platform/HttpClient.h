// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <chrono>

namespace kivo {

struct HttpRequest {
    QUrl url;
    QByteArray method = "GET";
    QByteArray body;
    QByteArray contentType; // sent when the body is
    QList<QPair<QByteArray, QByteArray>> headers; // more, as given: for signed requests
    // The whole exchange, connect to last byte; a peer that never answers costs no more.
    std::chrono::milliseconds timeout{5000};
    // Keep the body up to this many bytes; past it the exchange is abandoned.
    qint64 maxResponseBytes = 1024 * 1024;
    // Only the status matters: the exchange ends as soon as the headers arrive,
    // so a large or endless reply costs nothing.
    bool statusOnly = false;
};

struct HttpResponse {
    int status = 0;          // the HTTP status; 0 when none arrived
    QByteArray body;         // empty with statusOnly
    QString error;           // why there is no usable answer; empty on any status
    bool timedOut = false;
    bool bodyTooLarge = false;

    bool hasStatus() const { return status != 0; }
    bool isSuccess() const { return status >= 200 && status < 300 && !bodyTooLarge; }
};

// One request, never following a redirect (a 3xx is returned as it is) and never
// ignoring a TLS error (an untrusted certificate is an error). Only http and https.
QCoro::Task<HttpResponse> sendHttpRequest(HttpRequest request);

} // namespace kivo
