// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>

// Signing an HTTP request the way S3-compatible services and their token service
// check it (HMAC-SHA-256 over a canonical form of the request).
namespace kivo::sigv4 {

using Pairs = QList<QPair<QByteArray, QByteArray>>;

struct Request {
    QByteArray method = "GET";
    QByteArray path = "/"; // already percent-encoded
    Pairs query;           // raw names and values, encoded here
    Pairs headers;         // every header that is signed, the host among them
    QByteArray body;
};

struct Scope {
    QDateTime time; // UTC; also the request's X-Amz-Date
    QString region;
    QString service;
};

// The request as the signature covers it, and the header names it signs ("host;x-amz-date").
QByteArray canonicalRequest(const Request& request, QByteArray* signedHeaders = nullptr);
QByteArray stringToSign(const QByteArray& canonical, const Scope& scope);
// The key for one day, region and service, derived from the secret.
QByteArray signingKey(const QByteArray& secretAccessKey, const Scope& scope);
// The Authorization header's value.
QByteArray authorization(const Request& request, const QByteArray& accessKeyID, const QByteArray& secretAccessKey,
                         const Scope& scope);

// "20150830T123600Z"
QByteArray amzDate(const QDateTime& time);
QByteArray sha256Hex(const QByteArray& bytes);
// RFC 3986 percent-encoding: everything but A-Z a-z 0-9 - . _ ~.
QByteArray uriEncode(const QByteArray& bytes);

} // namespace kivo::sigv4
