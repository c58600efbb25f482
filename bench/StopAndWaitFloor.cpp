// SPDX-License-Identifier: Apache-2.0
// The fastest a stop-and-wait transfer of a folder can be on this machine: the
// same wire pattern as kivo (one request in flight: chunkData -> chunkAck per
// 1 MiB chunk, fileComplete -> fileAck per file, then a verification pass that
// re-reads and hashes every file), over TLS, with the same per-file work on
// disk (open, read, SHA-256 of every chunk and of the whole file, exclusive
// create, write, mode, one checkpoint line), but with blocking sockets, no
// event loop, no JSON parser, no progress and no conflict checks. The
// benchmark runs it beside kivo and rsync so the gap to the protocol's own
// limit is measured, not guessed.
//   floor --listen PORT --port-file F --into DIR
//   floor --connect PORT --folder DIR
#include "ThrowawayIdentity.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kChunk = 1 << 20;

[[noreturn]] void fail(const std::string& what)
{
    char err[256] = "";
    ERR_error_string_n(ERR_get_error(), err, sizeof err);
    std::fprintf(stderr, "floor: %s (%s; %s)\n", what.c_str(), std::strerror(errno), err);
    std::exit(1);
}

std::string hex(const unsigned char* d, unsigned n)
{
    static const char* digits = "0123456789abcdef";
    std::string s(n * 2, '0');
    for (unsigned i = 0; i < n; ++i) {
        s[2 * i] = digits[d[i] >> 4];
        s[2 * i + 1] = digits[d[i] & 15];
    }
    return s;
}

std::string sha256(const char* data, std::size_t n)
{
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(data, n, d, &len, EVP_sha256(), nullptr);
    return hex(d, len);
}

struct Tls {
    SSL* ssl = nullptr;

    void writeAll(const void* data, std::size_t n)
    {
        std::size_t written = 0;
        if (n && SSL_write_ex(ssl, data, n, &written) != 1)
            fail("write");
    }
    void readAll(void* data, std::size_t n)
    {
        auto* p = static_cast<char*>(data);
        while (n) {
            std::size_t got = 0;
            if (SSL_read_ex(ssl, p, n, &got) != 1)
                fail("read");
            p += got;
            n -= got;
        }
    }
    // One frame: 4-byte big-endian header length, header, payload; sent with one write.
    void send(const std::string& header, const char* payload = nullptr, std::size_t size = 0)
    {
        std::string frame(4, '\0');
        const std::uint32_t len = htonl(std::uint32_t(header.size()));
        std::memcpy(frame.data(), &len, 4);
        frame += header;
        frame.append(payload ? payload : "", size);
        writeAll(frame.data(), frame.size());
    }
    std::string receive(std::vector<char>& payload)
    {
        std::uint32_t len = 0;
        readAll(&len, 4);
        std::string header(ntohl(len), '\0');
        readAll(header.data(), header.size());
        payload.resize(std::size_t(std::strtoull(field(header, "payloadSize").c_str(), nullptr, 10)));
        readAll(payload.data(), payload.size());
        return header;
    }
    static std::string field(const std::string& header, const char* name)
    {
        const std::string key = std::string("\"") + name + "\":";
        const auto at = header.find(key);
        if (at == std::string::npos)
            return {};
        auto begin = at + key.size();
        if (header[begin] == '"')
            return header.substr(begin + 1, header.find('"', begin + 1) - begin - 1);
        return header.substr(begin, header.find_first_of(",}", begin) - begin);
    }
};

std::uint64_t sequence = 0;

// Headers of about the size kivo's carry (type, id, sequence, timestamp, path, hashes).
std::string header(const char* type, const std::string& path, const std::string& extra)
{
    return std::string("{\"type\":\"") + type + "\",\"transferID\":\"floor\",\"sequenceNumber\":" +
           std::to_string(++sequence) + ",\"timestamp\":\"2026-12-05T00:00:00Z\",\"filePath\":\"" + path + "\"" +
           extra + "}";
}

SSL_CTX* makeContext(bool server)
{
    SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    if (server) {
        const ThrowawayIdentity identity;
        if (SSL_CTX_use_certificate(ctx, identity.cert.get()) != 1 || SSL_CTX_use_PrivateKey(ctx, identity.key.get()) != 1)
            fail("identity");
    }
    return ctx;
}

int listenOn(int port, const char* portFile)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(std::uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), size) || listen(fd, 1) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size))
        fail("listen");
    if (FILE* f = std::fopen(portFile, "w")) {
        std::fprintf(f, "%d\n", ntohs(addr.sin_port));
        std::fclose(f);
    }
    const int conn = accept(fd, nullptr, nullptr);
    close(fd);
    return conn;
}

int connectTo(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(std::uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            return fd;
        close(fd);
        usleep(20000);
    }
    fail("connect");
}

void destination(Tls& tls, const std::string& into)
{
    std::vector<char> payload;
    std::vector<std::string> written;
    const int journal = open((into + "/.checkpoint.journal").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    int current = -1;
    std::string currentPath;
    for (;;) {
        const std::string h = tls.receive(payload);
        const std::string type = Tls::field(h, "type");
        const std::string rel = Tls::field(h, "filePath");
        std::string path = into + "/" + rel;
        if (type == "chunkData") {
            const bool ok = sha256(payload.data(), payload.size()) == Tls::field(h, "chunkHash");
            if (ok && path != currentPath) {
                if (current >= 0)
                    close(current);
                current = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
                if (current < 0)
                    fail("create " + path);
                currentPath = path;
                written.push_back(path);
            }
            const off_t offset = off_t(std::stoull(Tls::field(h, "chunkIndex"))) * off_t(kChunk);
            if (ok && pwrite(current, payload.data(), payload.size(), offset) != ssize_t(payload.size()))
                fail("write " + path);
            const std::string line = "{\"event\":\"chunk\",\"path\":\"" + rel + "\"}\n";
            if (write(journal, line.data(), line.size()) < 0)
                fail("journal");
            tls.send(header(ok ? "chunkAck" : "chunkNack", rel, ",\"payloadSize\":0"));
        } else if (type == "fileComplete") {
            if (current < 0 || path != currentPath) { // an empty file has no chunk
                if (current >= 0)
                    close(current);
                current = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
                written.push_back(path);
            }
            fchmod(current, 0644);
            close(current);
            current = -1;
            currentPath.clear();
            const std::string line = "{\"event\":\"done\",\"path\":\"" + rel + "\"}\n";
            if (write(journal, line.data(), line.size()) < 0)
                fail("journal");
            tls.send(header("fileAck", rel, ",\"payloadSize\":0"));
        } else if (type == "verificationRequest") {
            // Re-read every file from disk, as the verification step does.
            std::vector<char> block(4 * kChunk);
            std::string hashes;
            for (const auto& p : written) {
                const int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
                struct stat st {};
                if (fd < 0 || fstat(fd, &st))
                    fail("verify " + p);
                if (st.st_size > 524288000) { // not re-read, as in the verification step
                    close(fd);
                    continue;
                }
                EVP_MD_CTX* ctx = EVP_MD_CTX_new();
                EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
                for (ssize_t n; (n = read(fd, block.data(), block.size())) > 0;)
                    EVP_DigestUpdate(ctx, block.data(), std::size_t(n));
                unsigned char d[EVP_MAX_MD_SIZE];
                unsigned len = 0;
                EVP_DigestFinal_ex(ctx, d, &len);
                EVP_MD_CTX_free(ctx);
                close(fd);
                hashes += hex(d, len);
            }
            tls.send(header("verificationResponse", "", ",\"payloadSize\":" + std::to_string(hashes.size())),
                     hashes.data(), hashes.size());
        } else if (type == "transferComplete") {
            close(journal);
            unlink((into + "/.checkpoint.journal").c_str());
            return;
        }
    }
}

std::vector<std::string> g_files;

int collect(const char* path, const struct stat*, int flag, FTW*)
{
    if (flag == FTW_F)
        g_files.emplace_back(path);
    return 0;
}

void source(Tls& tls, const std::string& folder)
{
    nftw(folder.c_str(), collect, 64, FTW_PHYS);
    std::vector<char> reply;
    std::vector<char> chunk(kChunk);
    for (const auto& path : g_files) {
        std::string rel = path.substr(folder.size() + 1);
        for (char& c : rel)
            if (c == '/')
                c = '_'; // a flat destination keeps the floor free of folder creation
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st))
            fail("open " + path);
        const std::uint64_t chunks = (std::uint64_t(st.st_size) + kChunk - 1) / kChunk;
        EVP_MD_CTX* whole = EVP_MD_CTX_new();
        EVP_DigestInit_ex(whole, EVP_sha256(), nullptr);
        std::string wholeHash;
        for (std::uint64_t c = 0; c < chunks; ++c) {
            const ssize_t n = pread(fd, chunk.data(), kChunk, off_t(c * kChunk));
            if (n <= 0)
                fail("read " + path);
            const std::string h = sha256(chunk.data(), std::size_t(n));
            if (chunks == 1)
                wholeHash = h; // one chunk: the file's hash is the chunk's
            else
                EVP_DigestUpdate(whole, chunk.data(), std::size_t(n));
            tls.send(header("chunkData", rel,
                            ",\"chunkIndex\":" + std::to_string(c) + ",\"totalChunks\":" + std::to_string(chunks) +
                                ",\"chunkHash\":\"" + h + "\",\"payloadSize\":" + std::to_string(n)),
                     chunk.data(), std::size_t(n));
            tls.receive(reply);
        }
        close(fd);
        if (wholeHash.empty()) {
            unsigned char d[EVP_MAX_MD_SIZE];
            unsigned len = 0;
            EVP_DigestFinal_ex(whole, d, &len);
            wholeHash = hex(d, len);
        }
        EVP_MD_CTX_free(whole);
        tls.send(header("fileComplete", rel, ",\"chunkHash\":\"" + wholeHash + "\",\"payloadSize\":0"));
        tls.receive(reply);
    }
    tls.send(header("verificationRequest", "", ",\"payloadSize\":0"));
    tls.receive(reply);
    tls.send(header("transferComplete", "", ",\"payloadSize\":0"));
}

} // namespace

int main(int argc, char** argv)
{
    std::string listenPort, portFile, into, connectPort, folder;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view flag = argv[i];
        std::string* target = flag == "--listen" ? &listenPort : flag == "--port-file" ? &portFile
                            : flag == "--into" ? &into : flag == "--connect" ? &connectPort
                            : flag == "--folder" ? &folder : nullptr;
        if (!target) {
            std::fprintf(stderr, "usage: %s --listen PORT --port-file F --into DIR | --connect PORT --folder DIR\n", argv[0]);
            return 2;
        }
        *target = argv[i + 1];
    }
    const bool server = !listenPort.empty();
    const auto started = std::chrono::steady_clock::now();
    const int fd = server ? listenOn(std::atoi(listenPort.c_str()), portFile.c_str()) : connectTo(std::atoi(connectPort.c_str()));
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SSL_CTX* ctx = makeContext(server);
    Tls tls{SSL_new(ctx)};
    SSL_set_fd(tls.ssl, fd);
    if ((server ? SSL_accept(tls.ssl) : SSL_connect(tls.ssl)) != 1)
        fail("handshake");
    if (server)
        destination(tls, into);
    else
        source(tls, folder);
    SSL_shutdown(tls.ssl);
    SSL_free(tls.ssl);
    SSL_CTX_free(ctx);
    close(fd);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("{\"ok\":true,\"seconds\":%.3f,\"files\":%zu}\n", seconds, g_files.size());
    return 0;
}
