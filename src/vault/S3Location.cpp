// SPDX-License-Identifier: Apache-2.0
#include "vault/S3Location.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>

namespace kivo {

using namespace Qt::Literals::StringLiterals;

QString S3Location::endpoint() const
{
    QString host = this->host.contains(u':') ? u'[' + this->host + u']' : this->host;
    if (port != -1)
        host += u':' + QString::number(port);
    return (https ? u"https://"_s : u"http://"_s) + host;
}

QString S3Location::repository() const
{
    return u"s3:"_s + endpoint() + u'/' + bucket + (prefix.isEmpty() ? QString() : u'/' + prefix);
}

bool isLoopbackHost(const QString& host)
{
    if (host.compare(u"localhost"_s, Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

namespace {

bool fail(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return false;
}

// The names S3 accepts for a bucket that can be reached by path: 3 to 63 of a-z,
// 0-9, dot and hyphen, starting and ending with a letter or digit.
bool validBucket(const QString& bucket, QString* error)
{
    static const QRegularExpression re(u"^[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]$"_s);
    if (!re.match(bucket).hasMatch() || bucket.contains(u".."_s))
        return fail(error, u"\"%1\" is not a bucket name (3 to 63 of a-z, 0-9, \".\" and \"-\")"_s.arg(bucket));
    return true;
}

// A prefix is folders inside the bucket: no empty, "." or ".." parts, nothing unprintable.
bool validPrefix(const QString& prefix, QString* error)
{
    if (prefix.isEmpty())
        return true;
    static const QRegularExpression allowed(u"^[A-Za-z0-9._~!$&'()*+,;=:@ -]+$"_s);
    for (const QString& part : prefix.split(u'/')) {
        if (part.isEmpty() || part == u"."_s || part == u".."_s || !allowed.match(part).hasMatch())
            return fail(error, u"\"%1\" is not a folder path inside the bucket"_s.arg(prefix));
    }
    return true;
}

QString trimSlashes(QString s)
{
    while (s.startsWith(u'/'))
        s.remove(0, 1);
    while (s.endsWith(u'/'))
        s.chop(1);
    return s;
}

bool splitEndpoint(const QString& endpoint, S3Location& out, QString* error)
{
    const QUrl url(endpoint, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != u"https"_s && scheme != u"http"_s))
        return fail(error, u"\"%1\" is not an http(s) address"_s.arg(endpoint));
    if (!url.userInfo().isEmpty())
        return fail(error, u"keys never go in the vault's address: give them as keys or in the environment"_s);
    if (url.hasQuery() || url.hasFragment())
        return fail(error, u"the vault's address takes no query or fragment"_s);
    out.https = scheme == u"https"_s;
    out.host = url.host(QUrl::FullyEncoded).toLower();
    out.port = url.port(-1);
    if (out.port == 0)
        return fail(error, u"port 0 is not a port"_s);
    if (!out.https && !isLoopbackHost(out.host))
        return fail(error, u"plain http is only for this machine (localhost, 127.0.0.1, ::1): use https for %1"_s.arg(out.host));
    return true;
}

} // namespace

std::optional<S3Location> parseS3Location(const QString& text, QString* error)
{
    if (!text.startsWith(u"s3:"_s)) {
        fail(error, u"an object storage vault is written s3:https://HOST[:PORT]/BUCKET[/PREFIX]"_s);
        return std::nullopt;
    }
    const QString rest = text.mid(3);
    const qsizetype schemeEnd = rest.indexOf(u"://"_s);
    const qsizetype pathStart = schemeEnd < 0 ? -1 : rest.indexOf(u'/', schemeEnd + 3);
    if (schemeEnd < 0 || pathStart < 0) {
        fail(error, u"\"%1\" names no bucket: write s3:https://HOST[:PORT]/BUCKET[/PREFIX]"_s.arg(text));
        return std::nullopt;
    }
    S3Location out;
    if (!splitEndpoint(rest.left(pathStart), out, error))
        return std::nullopt;
    const QString path = rest.mid(pathStart + 1);
    if (path.contains(u'?') || path.contains(u'#') || path.contains(u'%') || path.contains(u'\\')) {
        fail(error, u"\"%1\" is not a folder path inside the bucket"_s.arg(path));
        return std::nullopt;
    }
    const qsizetype slash = path.indexOf(u'/');
    out.bucket = slash < 0 ? path : path.left(slash);
    out.prefix = slash < 0 ? QString() : trimSlashes(path.mid(slash + 1));
    if (!validBucket(out.bucket, error) || !validPrefix(out.prefix, error))
        return std::nullopt;
    return out;
}

std::optional<S3Location> s3LocationFrom(const QString& endpoint, const QString& bucket, const QString& prefix,
                                         const QString& region, QString* error)
{
    S3Location out;
    out.region = region.trimmed();
    if (!out.region.isEmpty() && !QRegularExpression(u"^[a-z0-9-]{1,32}$"_s).match(out.region).hasMatch()) {
        fail(error, u"\"%1\" is not a region name"_s.arg(region));
        return std::nullopt;
    }
    const QString base = endpoint.trimmed().isEmpty()
        ? (out.region.isEmpty() || out.region == u"us-east-1"_s ? u"https://s3.amazonaws.com"_s
                                                                  : u"https://s3.%1.amazonaws.com"_s.arg(out.region))
        : trimSlashes(endpoint.trimmed());
    if (!splitEndpoint(base, out, error))
        return std::nullopt;
    if (QUrl(base).path().size() > 0 && QUrl(base).path() != u"/"_s) {
        fail(error, u"the vault's endpoint \"%1\" is an address without a path; the bucket and prefix are keys of their own"_s.arg(endpoint));
        return std::nullopt;
    }
    out.bucket = bucket.trimmed();
    out.prefix = trimSlashes(prefix.trimmed());
    if (!validBucket(out.bucket, error) || !validPrefix(out.prefix, error))
        return std::nullopt;
    return out;
}

} // namespace kivo
