// SPDX-License-Identifier: Apache-2.0
#include "vault/SigV4.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>

namespace kivo::sigv4 {

namespace {

QByteArray hmac(const QByteArray& key, const QByteArray& data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.constData(), int(key.size()), reinterpret_cast<const unsigned char*>(data.constData()),
         size_t(data.size()), out, &length);
    return QByteArray(reinterpret_cast<const char*>(out), int(length));
}

// Header values are signed trimmed, runs of spaces as one.
QByteArray canonicalValue(const QByteArray& value) { return value.simplified(); }

} // namespace

QByteArray sha256Hex(const QByteArray& bytes)
{
    unsigned char out[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.constData()), size_t(bytes.size()), out);
    return QByteArray(reinterpret_cast<const char*>(out), SHA256_DIGEST_LENGTH).toHex();
}

QByteArray uriEncode(const QByteArray& bytes) { return bytes.toPercentEncoding(); }

QByteArray amzDate(const QDateTime& time) { return time.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toLatin1(); }

QByteArray canonicalRequest(const Request& request, QByteArray* signedHeaders)
{
    Pairs query;
    for (const auto& [name, value] : request.query)
        query.append({uriEncode(name), uriEncode(value)});
    std::sort(query.begin(), query.end());
    QByteArrayList queryParts;
    for (const auto& [name, value] : query)
        queryParts << name + '=' + value;

    // Same-named headers are one, their values joined by commas in the order given.
    QList<QPair<QByteArray, QByteArrayList>> headers;
    for (const auto& [name, value] : request.headers) {
        const QByteArray lower = name.toLower().trimmed();
        auto it = std::find_if(headers.begin(), headers.end(), [&](const auto& h) { return h.first == lower; });
        if (it == headers.end())
            headers.append({lower, {canonicalValue(value)}});
        else
            it->second << canonicalValue(value);
    }
    std::sort(headers.begin(), headers.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    QByteArray canonicalHeaders;
    QByteArrayList names;
    for (const auto& [name, values] : headers) {
        canonicalHeaders += name + ':' + values.join(',') + '\n';
        names << name;
    }
    if (signedHeaders)
        *signedHeaders = names.join(';');
    return request.method + '\n' + request.path + '\n' + queryParts.join('&') + '\n' + canonicalHeaders + '\n'
        + names.join(';') + '\n' + sha256Hex(request.body);
}

static QByteArray credentialScope(const Scope& scope)
{
    return scope.time.toUTC().toString(QStringLiteral("yyyyMMdd")).toLatin1() + '/' + scope.region.toLatin1() + '/'
        + scope.service.toLatin1() + "/aws4_request";
}

QByteArray stringToSign(const QByteArray& canonical, const Scope& scope)
{
    return "AWS4-HMAC-SHA256\n" + amzDate(scope.time) + '\n' + credentialScope(scope) + '\n' + sha256Hex(canonical);
}

QByteArray signingKey(const QByteArray& secretAccessKey, const Scope& scope)
{
    const QByteArray date = hmac("AWS4" + secretAccessKey, scope.time.toUTC().toString(QStringLiteral("yyyyMMdd")).toLatin1());
    const QByteArray region = hmac(date, scope.region.toLatin1());
    const QByteArray service = hmac(region, scope.service.toLatin1());
    return hmac(service, "aws4_request");
}

QByteArray authorization(const Request& request, const QByteArray& accessKeyID, const QByteArray& secretAccessKey,
                         const Scope& scope)
{
    QByteArray signedHeaders;
    const QByteArray canonical = canonicalRequest(request, &signedHeaders);
    const QByteArray signature = hmac(signingKey(secretAccessKey, scope), stringToSign(canonical, scope)).toHex();
    return "AWS4-HMAC-SHA256 Credential=" + accessKeyID + '/' + credentialScope(scope) + ", SignedHeaders=" + signedHeaders
        + ", Signature=" + signature;
}

} // namespace kivo::sigv4
