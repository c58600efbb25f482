// SPDX-License-Identifier: Apache-2.0
// One side of a transfer in its own process, for end-to-end tests and benchmarks.
//   source:      --role source --folder DIR  (items "~/<path below DIR>")
//   destination: --role destination --home DIR
// Either side listens (--listen PORT, 0 = any; --port-file F receives the port)
// or connects (--connect HOST:PORT, retried for a while). TLS with a throwaway
// identity unless --plain. Prints one JSON line when done; exit 0 on success.

#include "ThrowawayIdentity.h"
#include "platform/Error.h"
#include "platform/Logging.h"
#include "platform/ProcessSetup.h"
#include "platform/SslServer.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/SourceTransfer.h"
#include "transfer/TransferSession.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCoroTimer>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslKey>
#include <QTimer>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <sys/stat.h>

using namespace kivo;

namespace {

QByteArray bioBytes(BIO* bio)
{
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return QByteArray(data, static_cast<qsizetype>(n));
}

QSslConfiguration throwawayTls()
{
    const ThrowawayIdentity identity;
    BIO* keyBio = BIO_new(BIO_s_mem());
    BIO* certBio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(keyBio, identity.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    PEM_write_bio_X509(certBio, identity.cert.get());
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setPrivateKey(QSslKey(bioBytes(keyBio), QSsl::Ec));
    config.setLocalCertificate(QSslCertificate(bioBytes(certBio)));
    config.setPeerVerifyMode(QSslSocket::QueryPeer);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    BIO_free(keyBio);
    BIO_free(certBio);
    return config;
}

// Counts what the engine sends, so a run can report where each file started.
class CountingConnection : public TransferConnection {
public:
    explicit CountingConnection(TransferSession* inner) : m_inner(inner) {}
    bool isConnected() const override { return m_inner->isConnected(); }
    QCoro::Task<void> sendMessage(MessageHeader header, std::optional<QByteArray> payload) override
    {
        count(header);
        return m_inner->sendMessage(std::move(header), std::move(payload));
    }
    QCoro::Task<void> queueMessage(MessageHeader header, std::optional<QByteArray> payload) override
    {
        count(header);
        return m_inner->queueMessage(std::move(header), std::move(payload));
    }
    QCoro::Task<void> sendMessageFrom(MessageHeader header, QIODevice* payload) override
    {
        count(header);
        return m_inner->sendMessageFrom(std::move(header), payload);
    }
    void count(const MessageHeader& header)
    {
        // A bundled file is its one chunk.
        if (header.type == MessageType::fileBundle && header.fileHashes) {
            for (const FileVerification& f : *header.fileHashes) {
                ++chunksSent;
                if (firstChunks.size() < kMaxFirstChunks && !firstChunks.contains(f.filePath))
                    firstChunks.insert(f.filePath, 0.0);
            }
        }
        if (header.type == MessageType::chunkData && header.filePath) {
            ++chunksSent;
            // Enough to show where resumed files started, without the harness
            // weighing more than the engine it measures on a large tree.
            if (firstChunks.size() < kMaxFirstChunks && !firstChunks.contains(*header.filePath))
                firstChunks.insert(*header.filePath, double(header.chunkIndex.value_or(0)));
        }
    }
    static constexpr qsizetype kMaxFirstChunks = 10000;
    QCoro::Task<Message> receiveMessage() override { return m_inner->receiveMessage(); }
    void close() override { m_inner->close(); }

    qint64 chunksSent = 0;
    QJsonObject firstChunks;

private:
    TransferSession* m_inner;
};

TransferManifest walk(const QString& folder, const QString& transferID, const QString& category)
{
    TransferManifest manifest;
    manifest.transferID = transferID;
    manifest.sourceHostname = QStringLiteral("peer-source");
    manifest.createdAt = QDateTime::currentDateTimeUtc();
    manifest.categoryIDs = manifest.categoryOrder = QStringList{category};
    const QString root = QDir(folder).absolutePath() + u'/';
    QStringList paths;
    QDirIterator it(QDir(folder).absolutePath(), QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.append(it.next());
    paths.sort();
    manifest.items.reserve(paths.size());
    for (QString& path : paths) {
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        TransferManifest::FileItem item;
        item.relativePath = QStringLiteral("~/") + path.mid(root.size());
        item.setAbsolutePath(path); // kept as the real walk keeps it
        item.size = std::uint64_t(st.st_size);
        item.categoryID = category;
        item.mode = std::uint16_t(st.st_mode & 07777);
        item.sourceModified = QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec, Qt::UTC);
        manifest.totalSize += item.size;
        manifest.items.append(std::move(item));
    }
    return manifest;
}

qint64 peakRssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Stop-and-wait traffic: without this the tail of every chunk waits out the peer's delayed ACK.
void lowDelay(TransferSession& session)
{
    if (session.socket())
        session.socket()->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

QCoro::Task<std::unique_ptr<TransferSession>> openSession(QCommandLineParser& args, bool plain, SslServer* server)
{
    const auto security = plain ? TransferSession::Security::plain : TransferSession::Security::tls;
    if (args.isSet(QStringLiteral("listen"))) {
        server->setSslConfiguration(throwawayTls());
        if (!server->listen(QHostAddress::LocalHost, quint16(args.value(QStringLiteral("listen")).toUInt())))
            throw SystemError(QStringLiteral("listen failed: ") + server->errorString());
        if (args.isSet(QStringLiteral("port-file"))) {
            const QString target = args.value(QStringLiteral("port-file"));
            QFile f(target + QStringLiteral(".tmp"));
            f.open(QIODevice::WriteOnly);
            f.write(QByteArray::number(server->serverPort()));
            f.close();
            QFile::rename(target + QStringLiteral(".tmp"), target);
        }
        QSslSocket* accepted = nullptr;
        QObject::connect(server, &SslServer::socketAccepted, server, [&accepted](QSslSocket* s) {
            if (!accepted)
                accepted = s;
        });
        // A peer that died before connecting must not leave this one waiting for ever.
        for (int waited = 0; !accepted; waited += 5) {
            if (waited >= 30000)
                throw SystemError(QStringLiteral("no connection within 30 s"));
            co_await QCoro::sleepFor(std::chrono::milliseconds(5));
        }
        auto session = std::make_unique<TransferSession>(accepted, security, [plain](QSslSocket& s) {
            if (!plain)
                s.startServerEncryption();
        });
        co_await session->connect();
        lowDelay(*session);
        co_return session;
    }
    const QStringList target = args.value(QStringLiteral("connect")).split(u':');
    const QString host = target.value(0);
    const quint16 port = quint16(target.value(1).toUInt());
    for (int attempt = 0;; ++attempt) {
        auto* socket = new QSslSocket;
        socket->setSslConfiguration(throwawayTls());
        auto session = std::make_unique<TransferSession>(socket, security, [plain, host, port](QSslSocket& s) {
            if (plain)
                s.connectToHost(host, port);
            else
                s.connectToHostEncrypted(host, port, QStringLiteral("kivo"));
        });
        try {
            co_await session->connect();
            lowDelay(*session);
            co_return session;
        } catch (const std::exception&) {
            if (attempt > 200)
                throw;
        }
        co_await QCoro::sleepFor(std::chrono::milliseconds(50));
    }
}

QCoro::Task<int> run(QCommandLineParser& args)
{
    const bool source = args.value(QStringLiteral("role")) == QLatin1String("source");
    const QString transferID = args.value(QStringLiteral("transfer-id"));
    QJsonObject summary{{QStringLiteral("role"), source ? QStringLiteral("source") : QStringLiteral("destination")}};
    SslServer server;
    int rc = 1;
    try {
        std::unique_ptr<TransferSession> session = co_await openSession(args, args.isSet(QStringLiteral("plain")), &server);
        CountingConnection connection(session.get());
        const QString home = source ? args.value(QStringLiteral("folder")) : args.value(QStringLiteral("home"));
        std::unique_ptr<TransferEngine> engine;
        SourceTransfer* sender = nullptr;
        DestinationTransfer* receiver = nullptr;
        if (source) {
            auto s = std::make_unique<SourceTransfer>(&connection, transferID, home);
            if (args.isSet(QStringLiteral("cap")))
                s->setBandwidthCap(args.value(QStringLiteral("cap")).toInt());
            s->setManifest(walk(home, transferID, args.value(QStringLiteral("category"))));
            if (args.isSet(QStringLiteral("whole-file-hashes")))
                s->setOfferedHashScheme(std::nullopt);
            sender = s.get();
            engine = std::move(s);
        } else {
            auto d = std::make_unique<DestinationTransfer>(&connection, transferID, home);
            // --window 1: a destination that announces nothing, as one built to the plain rules.
            if (args.isSet(QStringLiteral("window"))) {
                const std::uint32_t requests = args.value(QStringLiteral("window")).toUInt();
                d->setAnnouncedWindow(requests > 1 ? std::optional(WindowLimits{requests, WindowLimits::ours().bytes})
                                                   : std::nullopt);
            }
            if (args.isSet(QStringLiteral("whole-file-hashes")))
                d->setAcceptedHashScheme(std::nullopt);
            receiver = d.get();
            d->setConflictPolicy(
                conflictPolicyFromString(args.value(QStringLiteral("policy"))).value_or(ConflictPolicy::skip));
            engine = std::move(d);
        }
        QElapsedTimer timer;
        timer.start();
        // When verification began: what follows is the run's tail, after the last file arrived.
        std::optional<qint64> verifyingFrom;
        QObject::connect(engine->progress(), &TransferProgress::isVerifyingChanged, engine->progress(), [&] {
            if (engine->progress()->isVerifying() && !verifyingFrom)
                verifyingFrom = timer.nsecsElapsed();
        });
        co_await engine->run();
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        TransferProgress* p = engine->progress();
        if (verifyingFrom)
            summary.insert(QStringLiteral("verificationSeconds"), seconds - double(*verifyingFrom) / 1e9);
        QJsonArray mismatches, fileErrors, conflicts;
        for (const QString& m : p->verificationMismatches())
            mismatches.append(m);
        for (const FileError& e : p->fileErrors())
            fileErrors.append(QJsonObject{{QStringLiteral("path"), e.filePath}, {QStringLiteral("error"), e.error}});
        for (const ConflictOutcome& c : p->conflictsResolved())
            conflicts.append(QJsonObject{{QStringLiteral("path"), c.relativePath}, {QStringLiteral("resolution"), c.resolution}});
        const double bytes = double(p->bytesTransferred());
        summary.insert(QStringLiteral("ok"), p->isComplete() && !p->error());
        summary.insert(QStringLiteral("error"), p->error().value_or(QString()));
        summary.insert(QStringLiteral("seconds"), seconds);
        summary.insert(QStringLiteral("bytes"), bytes);
        summary.insert(QStringLiteral("files"), double(p->filesCompleted()));
        summary.insert(QStringLiteral("mbPerSecond"), seconds > 0 ? bytes / 1e6 / seconds : 0.0);
        summary.insert(QStringLiteral("filesPerSecond"), seconds > 0 ? double(p->filesCompleted()) / seconds : 0.0);
        summary.insert(QStringLiteral("verificationChecked"), double(p->verificationFilesChecked()));
        summary.insert(QStringLiteral("mismatches"), mismatches);
        summary.insert(QStringLiteral("fileErrors"), fileErrors);
        summary.insert(QStringLiteral("conflicts"), conflicts);
        summary.insert(QStringLiteral("iCloudStubsSkipped"), double(p->iCloudStubsSkipped()));
        summary.insert(QStringLiteral("resumed"), sender && sender->resumeState().has_value());
        summary.insert(QStringLiteral("resumedCompletedFiles"),
                       double(sender && sender->resumeState() ? sender->resumeState()->completedCount() : 0));
        summary.insert(QStringLiteral("chunksSent"), double(connection.chunksSent));
        summary.insert(QStringLiteral("fileHashScheme"),
                       toString(sender ? sender->fileHashScheme() : receiver->fileHashScheme()));
        summary.insert(QStringLiteral("firstChunks"), connection.firstChunks);
        if (receiver) {
            // What making the received files durable cost: all flushes, and the part the transfer waited for.
            const DurableCompletions::Stats flushed = receiver->durableFlushStats();
            summary.insert(QStringLiteral("durableFlushes"), flushed.flushes);
            summary.insert(QStringLiteral("durableFlushSeconds"), double(flushed.flushing.count()) / 1e9);
            summary.insert(QStringLiteral("durableWaitSeconds"), double(flushed.waited.count()) / 1e9);
        }
        rc = summary.value(QStringLiteral("ok")).toBool() ? 0 : 1;
        // Let the last frame leave before the socket goes.
        if (session->socket())
            session->socket()->flush();
        co_await QCoro::sleepFor(std::chrono::milliseconds(20));
        session->close();
    } catch (const std::exception& e) {
        summary.insert(QStringLiteral("ok"), false);
        summary.insert(QStringLiteral("error"), describe(e));
    }
    summary.insert(QStringLiteral("peakRssKiB"), double(peakRssKiB()));
    std::printf("%s\n", QJsonDocument(summary).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    co_return rc;
}

} // namespace

int main(int argc, char** argv)
{
    prepareProcess();
    QCoreApplication app(argc, argv);
    installLogging();
    QCommandLineParser args;
    args.addHelpOption();
    args.addOptions({
        {QStringLiteral("role"), QStringLiteral("source or destination"), QStringLiteral("role")},
        {QStringLiteral("folder"), QStringLiteral("source: folder to send"), QStringLiteral("dir")},
        {QStringLiteral("home"), QStringLiteral("destination: home folder"), QStringLiteral("dir")},
        {QStringLiteral("listen"), QStringLiteral("listen on this loopback port"), QStringLiteral("port")},
        {QStringLiteral("port-file"), QStringLiteral("write the listening port here"), QStringLiteral("file")},
        {QStringLiteral("connect"), QStringLiteral("connect to host:port"), QStringLiteral("address")},
        {QStringLiteral("transfer-id"), QStringLiteral("transfer id"), QStringLiteral("id"), QStringLiteral("peer-transfer")},
        {QStringLiteral("policy"), QStringLiteral("conflict policy"), QStringLiteral("policy"), QStringLiteral("skip")},
        {QStringLiteral("cap"), QStringLiteral("bandwidth cap in Mbps"), QStringLiteral("mbps")},
        {QStringLiteral("category"), QStringLiteral("category id of the items"), QStringLiteral("id"), QStringLiteral("userFiles")},
        {QStringLiteral("plain"), QStringLiteral("plain TCP instead of TLS")},
        {QStringLiteral("window"), QStringLiteral("destination: requests it lets the source keep in flight (1: announce none)"),
         QStringLiteral("count")},
        {QStringLiteral("whole-file-hashes"), QStringLiteral("neither offer nor take chunk-digest file hashes: every byte hashed twice, as a plain peer does")},
    });
    args.process(app);
    int rc = 1;
    QTimer::singleShot(0, &app, [&] {
        [](QCommandLineParser& a, int& out) -> QCoro::Task<void> {
            out = co_await run(a);
            QCoreApplication::exit(0);
        }(args, rc);
    });
    app.exec();
    return rc;
}
