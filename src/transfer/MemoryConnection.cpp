// SPDX-License-Identifier: Apache-2.0
#include "transfer/MemoryConnection.h"

#include "platform/Error.h"
#include "platform/Logging.h"
#include "transfer/TransferError.h"
#include "transfer/TransferSession.h"
#include "transfer/WireFormat.h"

#include <QObject>

#include <algorithm>
#include <coroutine>
#include <deque>
#include <vector>

namespace kivo {

// The bytes of one direction, and the coroutines waiting on either side of it.
class MemoryConnection::Pipe {
public:
    explicit Pipe(qint64 capacity) : capacity(capacity) {}

    // Suspends until something about the pipe changed; gone waiters are never resumed.
    struct Wait {
        Pipe* pipe;
        std::vector<Wait*>* list;
        std::coroutine_handle<> handle;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> h)
        {
            handle = h;
            list->push_back(this);
        }
        void await_resume() const noexcept {}
        ~Wait()
        {
            std::erase(pipe->m_readers, this);
            std::erase(pipe->m_writers, this);
            std::erase(pipe->m_waking, this);
        }
    };
    Wait readable() { return Wait{this, &m_readers, {}}; }
    Wait writable() { return Wait{this, &m_writers, {}}; }

    // Waiters resume from the event loop, never inside the call that woke them:
    // one engine's send must not run the other engine's code on its stack.
    void wake()
    {
        if (m_wakeQueued || (m_readers.empty() && m_writers.empty()))
            return;
        m_wakeQueued = true;
        QMetaObject::invokeMethod(&m_context, [this] {
            m_wakeQueued = false;
            m_waking = std::exchange(m_readers, {});
            m_waking.insert(m_waking.end(), m_writers.begin(), m_writers.end());
            m_writers.clear();
            while (!m_waking.empty()) {
                Wait* w = m_waking.front();
                m_waking.erase(m_waking.begin());
                w->handle.resume();
            }
        }, Qt::QueuedConnection);
    }

    // An end going away leaves its own waits suspended: resuming them would run into it.
    void forgetReaders()
    {
        m_readers.clear();
        std::erase_if(m_waking, [this](Wait* w) { return w->list == &m_readers; });
    }
    void forgetWriters()
    {
        m_writers.clear();
        std::erase_if(m_waking, [this](Wait* w) { return w->list == &m_writers; });
    }

    void append(QByteArray piece)
    {
        if (piece.isEmpty())
            return;
        buffered += piece.size();
        pieces.push_back(std::move(piece));
        wake();
    }

    // Hands the decoder what it wants of the front pieces; true when a message is whole.
    bool feed(FrameDecoder& decoder)
    {
        while (!pieces.empty() && !decoder.hasMessage()) {
            const QByteArray& front = pieces.front();
            const qint64 n = std::min<qint64>(decoder.bytesWanted(), front.size() - offset);
            decoder.feed(QByteArrayView(front).sliced(offset, n));
            offset += n;
            buffered -= n;
            if (offset == front.size()) {
                pieces.pop_front();
                offset = 0;
            }
        }
        wake(); // room for the writer
        return decoder.hasMessage();
    }

    void dropAll()
    {
        pieces.clear();
        offset = 0;
        buffered = 0;
    }

    const qint64 capacity;
    qint64 buffered = 0;
    bool writerClosed = false;
    bool readerClosed = false;

private:
    std::deque<QByteArray> pieces;
    qsizetype offset = 0;
    std::vector<Wait*> m_readers;
    std::vector<Wait*> m_writers;
    std::vector<Wait*> m_waking;
    bool m_wakeQueued = false;
    QObject m_context;
};

std::pair<std::unique_ptr<MemoryConnection>, std::unique_ptr<MemoryConnection>> MemoryConnection::makePair(qint64 capacity)
{
    auto ab = std::make_shared<Pipe>(capacity);
    auto ba = std::make_shared<Pipe>(capacity);
    return {std::unique_ptr<MemoryConnection>(new MemoryConnection(ba, ab)),
            std::unique_ptr<MemoryConnection>(new MemoryConnection(ab, ba))};
}

MemoryConnection::MemoryConnection(std::shared_ptr<Pipe> in, std::shared_ptr<Pipe> out)
    : m_in(std::move(in)), m_out(std::move(out))
{
}

MemoryConnection::~MemoryConnection()
{
    m_in->forgetReaders();
    m_out->forgetWriters();
    close();
}

bool MemoryConnection::isConnected() const
{
    return !m_closedLocally && !m_idleExpired && !m_out->readerClosed && !m_in->writerClosed;
}

qint64 MemoryConnection::bufferedIn() const { return m_in->buffered; }

QCoro::Task<void> MemoryConnection::write(QByteArray piece)
{
    const std::shared_ptr<Pipe> out = m_out;
    for (;;) {
        if (m_closedLocally)
            throw TransferError::connectionCancelled();
        if (out->readerClosed || m_idleExpired)
            throw TransferError::connectionLost();
        if (out->buffered <= out->capacity)
            break;
        co_await out->writable();
    }
    out->append(std::move(piece));
}

QCoro::Task<void> MemoryConnection::sendMessage(MessageHeader header, std::optional<QByteArray> payload)
{
    QByteArray head = WireFormat::encodeHead(header);
    // Head and payload go in as they are: a chunk is shared, not copied.
    co_await write(std::move(head));
    if (payload)
        m_out->append(std::move(*payload));
}

QCoro::Task<void> MemoryConnection::sendMessageFrom(MessageHeader header, QIODevice* payload)
{
    constexpr qint64 kPiece = 1024 * 1024;
    const qint64 total = header.payloadSize.value_or(0);
    QByteArray head = WireFormat::encodeHead(header);
    co_await write(std::move(head));
    for (qint64 sent = 0; sent < total;) {
        QByteArray piece = payload->read(std::min(kPiece, total - sent));
        // Half a frame is out: the connection cannot carry anything further.
        if (piece.isEmpty()) {
            close();
            throw SystemError(QStringLiteral("A message's payload ended before its announced size"));
        }
        sent += piece.size();
        co_await write(std::move(piece));
    }
}

QCoro::Task<Message> MemoryConnection::receiveMessage()
{
    struct Receiving {
        bool& flag;
        explicit Receiving(bool& f) : flag(f) { flag = true; }
        ~Receiving() { flag = false; }
    } receiving(m_receiving);
    const std::shared_ptr<Pipe> in = m_in;
    if (m_idleLimit.count() > 0) {
        m_waitingSince = m_clock->monotonic();
        m_payloadAllowance = std::chrono::milliseconds(0);
        if (!m_watchdog)
            armWatchdog(m_idleLimit);
    }
    FrameDecoder decoder;
    for (;;) {
        if (m_idleExpired)
            throw TransferError::connectionLost();
        if (m_closedLocally)
            throw TransferError::connectionCancelled();
        if (in->buffered > 0) {
            const bool whole = in->feed(decoder);
            m_payloadAllowance = TransferSession::payloadAllowance(decoder.announcedPayloadSize());
            if (whole)
                co_return decoder.take();
            continue;
        }
        if (in->writerClosed)
            decoder.endOfStream();
        co_await in->readable();
    }
}

void MemoryConnection::close()
{
    if (m_closedLocally)
        return;
    m_closedLocally = true;
    m_watchdog.reset();
    // What was sent still reaches the peer; what it sends us from now on has nowhere to go.
    m_out->writerClosed = true;
    m_in->readerClosed = true;
    m_in->dropAll();
    m_out->wake();
    m_in->wake();
}

void MemoryConnection::setIdleDeadline(std::shared_ptr<Clock> clock, std::chrono::milliseconds limit)
{
    m_clock = std::move(clock);
    m_idleLimit = m_clock ? limit : std::chrono::milliseconds(0);
    m_watchdog.reset();
    if (m_receiving && m_idleLimit.count() > 0) {
        m_waitingSince = m_clock->monotonic();
        armWatchdog(m_idleLimit + m_payloadAllowance);
    }
}

void MemoryConnection::armWatchdog(std::chrono::nanoseconds in)
{
    if (m_watchdog)
        m_watchdog.release()->deleteLater();
    m_watchdog = m_clock->schedule(std::chrono::ceil<std::chrono::milliseconds>(in), [this] { checkIdle(); });
}

void MemoryConnection::checkIdle()
{
    if (!m_receiving || m_idleLimit.count() <= 0) {
        if (m_watchdog)
            m_watchdog.release()->deleteLater();
        return;
    }
    const std::chrono::nanoseconds waited = m_clock->monotonic() - m_waitingSince;
    const std::chrono::nanoseconds allowed = m_idleLimit + m_payloadAllowance;
    if (waited < allowed) {
        armWatchdog(allowed - waited);
        return;
    }
    qCWarning(lcTransferEngine, "No whole message from the peer in %lld s; dropping the connection",
              qlonglong(std::chrono::duration_cast<std::chrono::seconds>(waited).count()));
    if (m_watchdog)
        m_watchdog.release()->deleteLater();
    // Dropped as a socket would be: the peer sees the end, our receive a lost connection.
    m_idleExpired = true;
    m_out->writerClosed = true;
    m_in->readerClosed = true;
    m_in->dropAll();
    m_out->wake();
    m_in->wake();
}

} // namespace kivo
