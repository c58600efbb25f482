// SPDX-License-Identifier: Apache-2.0
// A TCP forwarder on loopback that holds every byte for a fixed time in each
// direction, so a transfer sees a real round trip (this kernel has no netem).
// Both tools of a benchmark case go through the same forwarder.
//   kivo-delay-forwarder --delay-ms D --to PORT --port-file F
// Listens on 127.0.0.1 (any port, written to F) and forwards each connection
// to 127.0.0.1:PORT; runs until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Piece {
    Clock::time_point due;
    std::vector<char> bytes; // empty: the sender closed its side
};

// One direction: a reader stamps what arrives, a writer passes it on once due.
class Direction {
public:
    Direction(int from, int to, std::chrono::microseconds delay) : m_from(from), m_to(to), m_delay(delay) {}

    void run()
    {
        std::thread writer([this] { write(); });
        read();
        writer.join();
    }

private:
    void read()
    {
        std::vector<char> buffer(256 * 1024);
        for (;;) {
            const ssize_t n = ::read(m_from, buffer.data(), buffer.size());
            Piece piece{Clock::now() + m_delay, {}};
            if (n > 0)
                piece.bytes.assign(buffer.begin(), buffer.begin() + n);
            {
                std::lock_guard lock(m_mutex);
                m_queue.push_back(std::move(piece));
            }
            m_ready.notify_one();
            if (n <= 0)
                return;
        }
    }

    void write()
    {
        for (;;) {
            Piece piece;
            {
                std::unique_lock lock(m_mutex);
                m_ready.wait(lock, [this] { return !m_queue.empty(); });
                piece = std::move(m_queue.front());
                m_queue.pop_front();
            }
            std::this_thread::sleep_until(piece.due);
            if (piece.bytes.empty()) {
                ::shutdown(m_to, SHUT_WR);
                return;
            }
            std::size_t done = 0;
            while (done < piece.bytes.size()) {
                const ssize_t n = ::write(m_to, piece.bytes.data() + done, piece.bytes.size() - done);
                if (n <= 0) {
                    ::shutdown(m_from, SHUT_RD);
                    return;
                }
                done += std::size_t(n);
            }
        }
    }

    int m_from, m_to;
    std::chrono::microseconds m_delay;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Piece> m_queue;
};

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(std::uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void noDelay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

int main(int argc, char** argv)
{
    int delayMs = 1, to = 0;
    std::string portFile;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--delay-ms")
            delayMs = std::atoi(argv[i + 1]);
        else if (key == "--to")
            to = std::atoi(argv[i + 1]);
        else if (key == "--port-file")
            portFile = argv[i + 1];
    }
    if (to <= 0 || portFile.empty()) {
        std::fprintf(stderr, "usage: %s --delay-ms D --to PORT --port-file F\n", argv[0]);
        return 2;
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 16) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        std::perror("listen");
        return 1;
    }
    const std::string tmp = portFile + ".tmp";
    if (FILE* f = std::fopen(tmp.c_str(), "w")) {
        std::fprintf(f, "%d\n", ntohs(addr.sin_port));
        std::fclose(f);
        std::rename(tmp.c_str(), portFile.c_str());
    }
    const std::chrono::microseconds delay = std::chrono::milliseconds(delayMs);
    for (;;) {
        const int client = ::accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;
        const int server = connectTo(to);
        if (server < 0) {
            ::close(client);
            continue;
        }
        noDelay(client);
        noDelay(server);
        std::thread([client, server, delay] {
            Direction up(client, server, delay), down(server, client, delay);
            std::thread back([&down] { down.run(); });
            up.run();
            back.join();
            ::close(client);
            ::close(server);
        }).detach();
    }
}
