// SPDX-License-Identifier: Apache-2.0
#include "vault/AssumeRole.h"

#include "platform/HttpClient.h"
#include "vault/VaultError.h"

#include <QRegularExpression>
#include <QXmlStreamReader>

#include <QCoroTask>

namespace kivo::sts {

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr QByteArrayView kFormType = "application/x-www-form-urlencoded; charset=utf-8";

QByteArray hostHeader(const QUrl& url)
{
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url.port() != -1)
        host += ':' + QByteArray::number(url.port());
    return host;
}

// What a key handed out may look like: printable, no spaces, not absurdly long.
bool plausible(const QString& value, qsizetype maxLength)
{
    static const QRegularExpression re(u"^[\\x21-\\x7e]+$"_s);
    return !value.isEmpty() && value.size() <= maxLength && re.match(value).hasMatch();
}

} // namespace

sigv4::Request signedRequest(const RoleRequest& request, const AwsKeys& keys, const QDateTime& now)
{
    const sigv4::Pairs form = {{"Action", "AssumeRole"},
                               {"DurationSeconds", QByteArray::number(request.durationSeconds)},
                               {"RoleArn", request.roleARN.toUtf8()},
                               {"RoleSessionName", request.sessionName.toUtf8()},
                               {"Version", "2011-06-15"}};
    QByteArrayList body;
    for (const auto& [name, value] : form)
        body << sigv4::uriEncode(name) + '=' + sigv4::uriEncode(value);
    sigv4::Request out;
    out.method = "POST";
    out.path = request.endpoint.path(QUrl::FullyEncoded).toLatin1();
    if (out.path.isEmpty())
        out.path = "/";
    out.body = body.join('&');
    out.headers = {{"Content-Type", kFormType.toByteArray()},
                   {"Host", hostHeader(request.endpoint)},
                   {"X-Amz-Date", sigv4::amzDate(now)}};
    if (!keys.sessionToken.isEmpty())
        out.headers.append({"X-Amz-Security-Token", keys.sessionToken.toUtf8()});
    const sigv4::Scope scope{now, request.region.isEmpty() ? u"us-east-1"_s : request.region, u"sts"_s};
    out.headers.append({"Authorization", sigv4::authorization(out, keys.accessKeyID.toUtf8(), keys.secretAccessKey.toUtf8(), scope)});
    return out;
}

RoleAnswer parseAnswer(const QByteArray& xml)
{
    RoleAnswer out;
    AwsKeys keys;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QStringView name = reader.name();
        if (name == u"AccessKeyId" || name == u"SecretAccessKey" || name == u"SessionToken" || name == u"Expiration"
            || name == u"Code" || name == u"Message") {
            const QString text = reader.readElementText().trimmed();
            if (name == u"AccessKeyId")
                keys.accessKeyID = text;
            else if (name == u"SecretAccessKey")
                keys.secretAccessKey = text;
            else if (name == u"SessionToken")
                keys.sessionToken = text;
            else if (name == u"Expiration")
                out.expires = QDateTime::fromString(text, Qt::ISODateWithMs);
            else if (name == u"Code")
                out.errorCode = text.left(100);
            else
                out.errorMessage = text.left(300);
        }
    }
    if (!reader.hasError() && out.errorCode.isEmpty() && plausible(keys.accessKeyID, 128)
        && plausible(keys.secretAccessKey, 256) && plausible(keys.sessionToken, 8192))
        out.keys = keys;
    return out;
}

QUrl serviceFor(const QString& storeEndpoint, const QString& region)
{
    if (!storeEndpoint.trimmed().isEmpty())
        return QUrl(storeEndpoint.trimmed() + u'/');
    return QUrl(region.isEmpty() ? u"https://sts.amazonaws.com/"_s : u"https://sts.%1.amazonaws.com/"_s.arg(region));
}

namespace {

QCoro::Task<HttpResponse> post(const RoleRequest& request, const AwsKeys& keys, std::chrono::milliseconds deadline)
{
    const sigv4::Request signedOne = signedRequest(request, keys, QDateTime::currentDateTimeUtc());
    HttpRequest http;
    http.url = request.endpoint;
    http.method = "POST";
    http.body = signedOne.body;
    http.contentType = kFormType.toByteArray();
    for (const auto& [name, value] : signedOne.headers)
        if (name != "Host" && name != "Content-Type")
            http.headers.append({name, value});
    http.timeout = deadline;
    http.maxResponseBytes = 64 * 1024;
    co_return co_await sendHttpRequest(std::move(http));
}

} // namespace

AwsKeys assumeRole(RoleRequest request, const AwsKeys& keys, std::chrono::milliseconds deadline)
{
    // Twelve hours where the role allows it, else the hour every role allows.
    for (const int seconds : {43200, 3600}) {
        request.durationSeconds = seconds;
        const HttpResponse response = QCoro::waitFor(post(request, keys, deadline));
        if (!response.hasStatus())
            throw VaultError(VaultErrorKind::unreachable,
                             u"the token service at %1 did not answer%2: %3"_s.arg(
                                 request.endpoint.toString(), response.timedOut ? u" in time"_s : QString(), response.error));
        const RoleAnswer answer = parseAnswer(response.body);
        if (response.isSuccess() && answer.keys)
            return *answer.keys;
        // A role allowing less refuses the request as invalid (AWS: ValidationError, radosgw: InvalidArgument).
        if (seconds != 3600 && response.status == 400)
            continue;
        throw VaultError(VaultErrorKind::missingKey,
                         u"the token service refused the role %1 (HTTP %2%3)"_s.arg(
                             request.roleARN, QString::number(response.status),
                             answer.errorCode.isEmpty() ? QString() : u", "_s + answer.errorCode
                                 + (answer.errorMessage.isEmpty() ? QString() : u": "_s + answer.errorMessage)));
    }
    throw VaultError(VaultErrorKind::missingKey, u"the token service gave no keys for the role %1"_s.arg(request.roleARN));
}

} // namespace kivo::sts
