// SPDX-License-Identifier: Apache-2.0
#include "platform/HttpClient.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QFuture>
#include <QPromise>
#include <QTimer>

#include <QCoroFuture>

#include <memory>

// One exchange on a socket of the caller's own thread. Qt's network access
// manager runs its connections on a thread of its own, and a process that
// ends right after a failed handshake could leave that thread mid-cleanup;
// here nothing outlives the call.
namespace kivo {

namespace {

constexpr qsizetype kMaxHeaderBytes = 64 * 1024;

QByteArray requestBytes(const HttpRequest& request)
{
    const QUrl& url = request.url;
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url.port() != -1)
        host += ':' + QByteArray::number(url.port());
    QByteArray out = request.method + ' ' + target + " HTTP/1.1\r\nHost: " + host
        + "\r\nConnection: close\r\nAccept-Encoding: identity\r\nUser-Agent: kivo\r\n";
    for (const auto& [name, value] : request.headers)
        out += name + ": " + value + "\r\n";
    if (!request.body.isEmpty() || request.method == "POST" || request.method == "PUT") {
        if (!request.body.isEmpty() && !request.contentType.isEmpty())
            out += "Content-Type: " + request.contentType + "\r\n";
        out += "Content-Length: " + QByteArray::number(request.body.size()) + "\r\n";
    }
    return out + "\r\n" + request.body;
}

// Reads a reply as it arrives: status line, headers, then a body framed by
// length, by chunks, or by the end of the connection.
class ReplyParser {
public:
    enum class State { headers, body, done, failed };

    explicit ReplyParser(const HttpRequest& request) : m_request(request) {}

    State state() const { return m_state; }
    const QString& failure() const { return m_failure; }

    void feed(const QByteArray& bytes, HttpResponse& response)
    {
        m_buffer += bytes;
        if (m_state == State::headers)
            parseHeaders(response);
        if (m_state == State::body)
            parseBody(response);
    }

    // The peer closed: a body framed by the connection's end is complete.
    void closed(HttpResponse& response)
    {
        if (m_state == State::body && !m_chunked && m_remaining < 0) {
            m_state = State::done;
            return;
        }
        if (m_state != State::done && m_state != State::failed)
            fail(response.hasStatus() ? QStringLiteral("The reply ended early") : QStringLiteral("Connection closed without a reply"));
    }

private:
    void fail(const QString& why)
    {
        m_state = State::failed;
        m_failure = why;
    }

    void parseHeaders(HttpResponse& response)
    {
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_buffer.size() > kMaxHeaderBytes)
                fail(QStringLiteral("Reply headers too large"));
            return;
        }
        const QList<QByteArray> lines = m_buffer.left(end).split('\n');
        m_buffer.remove(0, end + 4);
        const QList<QByteArray> status = lines.first().trimmed().split(' ');
        bool ok = false;
        const int code = status.size() >= 2 ? status.at(1).toInt(&ok) : 0;
        if (!status.first().startsWith("HTTP/1.") || !ok || code < 100 || code > 999) {
            fail(QStringLiteral("Not an HTTP reply"));
            return;
        }
        response.status = code;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "content-length")
                m_remaining = value.toLongLong(&ok) >= 0 && ok ? value.toLongLong() : -1;
            else if (name == "transfer-encoding" && value.toLower().contains("chunked"))
                m_chunked = true;
        }
        if (m_chunked)
            m_remaining = -1;
        if (m_request.statusOnly || code == 204 || code == 304 || m_request.method == "HEAD" || m_remaining == 0) {
            m_state = State::done;
            return;
        }
        m_state = State::body;
    }

    bool keep(const QByteArray& bytes, HttpResponse& response)
    {
        if (response.body.size() + bytes.size() > m_request.maxResponseBytes) {
            response.bodyTooLarge = true;
            response.body.clear();
            fail(QStringLiteral("Reply larger than %1 bytes").arg(m_request.maxResponseBytes));
            return false;
        }
        response.body += bytes;
        return true;
    }

    void parseBody(HttpResponse& response)
    {
        if (!m_chunked) {
            const qsizetype take = m_remaining < 0 ? m_buffer.size() : qsizetype(std::min<qint64>(m_remaining, m_buffer.size()));
            if (!keep(m_buffer.left(take), response))
                return;
            m_buffer.remove(0, take);
            if (m_remaining >= 0 && (m_remaining -= take) == 0)
                m_state = State::done;
            return;
        }
        for (;;) {
            if (m_chunkLeft == 0) {
                const qsizetype eol = m_buffer.indexOf("\r\n");
                if (eol < 0) {
                    if (m_buffer.size() > kMaxHeaderBytes)
                        fail(QStringLiteral("Malformed chunked reply"));
                    return;
                }
                bool ok = false;
                const qint64 size = m_buffer.left(eol).split(';').first().trimmed().toLongLong(&ok, 16);
                if (!ok || size < 0) {
                    fail(QStringLiteral("Malformed chunked reply"));
                    return;
                }
                if (size == 0) {
                    m_state = State::done; // trailers, if any, are not ours to read
                    return;
                }
                m_buffer.remove(0, eol + 2);
                m_chunkLeft = size + 2; // the data and its CRLF
            }
            if (m_buffer.isEmpty())
                return;
            const qsizetype take = qsizetype(std::min<qint64>(m_chunkLeft, m_buffer.size()));
            const qint64 dataLeft = std::max<qint64>(0, m_chunkLeft - 2);
            if (!keep(m_buffer.left(qsizetype(std::min<qint64>(take, dataLeft))), response))
                return;
            m_buffer.remove(0, take);
            m_chunkLeft -= take;
        }
    }

    const HttpRequest& m_request;
    State m_state = State::headers;
    QString m_failure;
    QByteArray m_buffer;
    qint64 m_remaining = -1; // body bytes still due; -1: until the end (or chunked)
    bool m_chunked = false;
    qint64 m_chunkLeft = 0;
};


// Connects and, once the connection (and for https the handshake) is up, sends the request.
void connectAndSend(QTcpSocket& socket, bool tls, const QUrl& url, const QByteArray& bytes)
{
    if (tls) {
        auto& ssl = static_cast<QSslSocket&>(socket);
        // Never ignored: any certificate error fails the handshake, and nothing is sent.
        QObject::connect(&ssl, &QSslSocket::encrypted, &ssl, [&ssl, bytes] { ssl.write(bytes); });
        ssl.connectToHostEncrypted(url.host(), quint16(url.port(443)));
    } else {
        QObject::connect(&socket, &QAbstractSocket::connected, &socket, [&socket, bytes] { socket.write(bytes); });
        socket.connectToHost(url.host(), quint16(url.port(80)));
    }
}

// Why there is no usable answer, when there is none; a reply cut short keeps its status, never a partial body.
void conclude(HttpResponse& response, const HttpRequest& request, const ReplyParser& parser, const QString& socketError)
{
    if (response.timedOut)
        response.error = QStringLiteral("No answer within %1 s").arg(double(request.timeout.count()) / 1000.0);
    else if (response.bodyTooLarge)
        response.error = parser.failure();
    else if (!response.hasStatus())
        response.error = !socketError.isEmpty() ? socketError
            : !parser.failure().isEmpty()       ? parser.failure()
                                                : QStringLiteral("No reply");
    if (parser.state() != ReplyParser::State::done)
        response.body.clear();
}

} // namespace

QCoro::Task<HttpResponse> sendHttpRequest(HttpRequest request)
{
    HttpResponse response;
    const QString scheme = request.url.scheme();
    if (!request.url.isValid() || request.url.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        response.error = QStringLiteral("Not an http or https address: %1").arg(request.url.toDisplayString());
        co_return response;
    }
    const bool tls = scheme == QLatin1String("https");
    std::unique_ptr<QTcpSocket> socket(tls ? new QSslSocket : new QTcpSocket);
    ReplyParser parser(request);
    QString socketError;
    bool finished = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QPromise<void> over; // kept once the exchange is over, to wake the caller
    over.start();
    QFuture<void> overFuture = over.future();

    auto finish = [&] {
        if (finished)
            return;
        finished = true;
        deadline.stop();
        over.finish();
    };
    auto readAvailable = [&] {
        if (finished)
            return;
        parser.feed(socket->readAll(), response);
        if (parser.state() == ReplyParser::State::done || parser.state() == ReplyParser::State::failed)
            finish();
    };
    auto peerClosed = [&] {
        readAvailable();
        if (!finished)
            parser.closed(response);
        finish();
    };
    QObject::connect(&deadline, &QTimer::timeout, socket.get(), [&] {
        response.timedOut = true;
        finish();
    });
    QObject::connect(socket.get(), &QTcpSocket::readyRead, socket.get(), readAvailable);
    QObject::connect(socket.get(), &QAbstractSocket::disconnected, socket.get(), peerClosed);
    QObject::connect(socket.get(), &QAbstractSocket::errorOccurred, socket.get(), [&](QAbstractSocket::SocketError e) {
        if (finished)
            return;
        if (e == QAbstractSocket::RemoteHostClosedError)
            return peerClosed();
        socketError = socket->errorString();
        finish();
    });
    connectAndSend(*socket, tls, request.url, requestBytes(request));
    deadline.start(request.timeout);
    co_await overFuture;
    socket->disconnect();
    socket->abort();
    conclude(response, request, parser, socketError);
    co_return response;
}

} // namespace kivo
