// SPDX-License-Identifier: Apache-2.0
// What the unavoidable work of a verified transfer costs on this machine,
// nothing else around it: SHA-256 and AES-GCM per byte, creating small files
// (create, write, rename, as every copier does) on one thread and on two,
// reading them back, and flushing a gigabyte. Set against rsync's times, it
// says how close a target may come.
//   kivo-work-floor <scratch-folder>
#include <openssl/evp.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double sha256MBps(const std::vector<unsigned char>& data, int rounds)
{
    unsigned char digest[32];
    unsigned int length = 0;
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
        EVP_DigestUpdate(ctx, data.data(), data.size());
        EVP_DigestFinal_ex(ctx, digest, &length);
        EVP_MD_CTX_free(ctx);
    }
    return double(data.size()) * rounds / 1e6 / secondsSince(start);
}

double aesGcmMBps(const std::vector<unsigned char>& data, int rounds)
{
    std::vector<unsigned char> out(data.size() + 16);
    unsigned char key[32] = {1}, iv[12] = {2};
    int length = 0;
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key, iv);
        EVP_EncryptUpdate(ctx, out.data(), &length, data.data(), int(data.size()));
        EVP_EncryptFinal_ex(ctx, out.data() + length, &length);
        EVP_CIPHER_CTX_free(ctx);
    }
    return double(data.size()) * rounds / 1e6 / secondsSince(start);
}

// Files of sizes in [low, high], 200 per folder, written as a copier does: a
// temporary name, the bytes, a rename. Thread t of n takes every n-th folder, so
// two threads show whether creating files scales past one core here. Then one
// syncfs. Sizes are even across the range, or, with `mostlySmall`, thin out
// toward `high` as the benchmark's 20,000 files do (a triangle peaking at `low`).
bool createShare(const std::string& root, int count, int low, int high, const std::vector<unsigned char>& data, int t, int n,
                 bool mostlySmall)
{
    std::mt19937 rng(20261206 + t);
    std::uniform_int_distribution<int> even(low, high);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int i = 0; i < count; ++i) {
        if ((i / 200) % n != t)
            continue;
        const std::string folder = root + "/d" + std::to_string(i / 200);
        if (i % 200 == 0)
            mkdir(folder.c_str(), 0755);
        const std::string name = folder + "/f" + std::to_string(i);
        const std::string partial = name + ".partial";
        const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int bytes = mostlySmall ? int(high - (high - low) * std::sqrt(1 - unit(rng))) : even(rng);
        if (fd < 0 || ::write(fd, data.data(), size_t(bytes)) != bytes || ::close(fd) != 0 || ::rename(partial.c_str(), name.c_str()) != 0) {
            std::perror(name.c_str());
            return false;
        }
    }
    return true;
}

std::pair<double, double> createFiles(const std::string& root, int count, int low, int high, const std::vector<unsigned char>& data,
                                      int threads = 1, bool mostlySmall = false)
{
    mkdir(root.c_str(), 0755);
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    std::vector<char> ok(size_t(threads), 0);
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { ok[size_t(t)] = createShare(root, count, low, high, data, t, threads, mostlySmall); });
    for (auto& worker : workers)
        worker.join();
    for (const char fine : ok)
        if (!fine)
            return {0, 0};
    const double writing = secondsSince(start);
    const auto flushing = Clock::now();
    const int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    syncfs(dir);
    ::close(dir);
    return {writing, secondsSince(flushing)};
}

// What the sending side cannot avoid per file: open, read, close (from the page
// cache, as in the benchmark).
double readFiles(const std::string& root, int count)
{
    std::vector<char> buffer(65536);
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const std::string name = root + "/d" + std::to_string(i / 200) + "/f" + std::to_string(i);
        const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::read(fd, buffer.data(), buffer.size()) < 0 || ::close(fd) != 0) {
            std::perror(name.c_str());
            return 0;
        }
    }
    return secondsSince(start);
}

double writeAndFlushGiB(const std::string& path, const std::vector<unsigned char>& data)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (int i = 0; i < 1024; ++i)
        if (::write(fd, data.data(), 1 << 20) != 1 << 20)
            return 0;
    const auto start = Clock::now();
    fsync(fd);
    ::close(fd);
    return secondsSince(start);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kivo-work-floor <scratch-folder>\n");
        return 2;
    }
    const std::string scratch = argv[1];
    std::vector<unsigned char> data(64 << 20);
    std::mt19937_64 rng(1);
    for (auto& b : data)
        b = static_cast<unsigned char>(rng());
    const double sha = sha256MBps(data, 16);
    const double aes = aesGcmMBps(data, 16);
    const std::vector<unsigned char> chunk(data.begin(), data.begin() + (1 << 20));
    const double flushGiB = writeAndFlushGiB(scratch + "/one-gib", chunk);
    ::unlink((scratch + "/one-gib").c_str());
    const auto [smallWrite, smallFlush] = createFiles(scratch + "/small", 20000, 1024, 65536, data, 1, true);
    const auto [smallPairWrite, smallPairFlush] = createFiles(scratch + "/small2", 20000, 1024, 65536, data, 2, true);
    const auto [tinyWrite, tinyFlush] = createFiles(scratch + "/tiny", 200000, 0, 4096, data);
    const auto [pairWrite, pairFlush] = createFiles(scratch + "/tiny2", 200000, 0, 4096, data, 2);
    const double tinyRead = readFiles(scratch + "/tiny", 200000);
    std::printf("{\"sha256MBps\": %.0f, \"aes256gcmMBps\": %.0f, \"flushOneGiBSeconds\": %.3f, "
                "\"small20000\": {\"writeSeconds\": %.3f, \"flushSeconds\": %.3f, \"microsecondsPerFile\": %.1f}, "
                "\"small20000TwoThreads\": {\"writeSeconds\": %.3f, \"flushSeconds\": %.3f, \"microsecondsPerFile\": %.1f}, "
                "\"tiny200000\": {\"writeSeconds\": %.3f, \"flushSeconds\": %.3f, \"microsecondsPerFile\": %.1f}, "
                "\"tiny200000TwoThreads\": {\"writeSeconds\": %.3f, \"flushSeconds\": %.3f, \"microsecondsPerFile\": %.1f}, "
                "\"tiny200000Read\": {\"seconds\": %.3f, \"microsecondsPerFile\": %.1f}}\n",
                sha, aes, flushGiB, smallWrite, smallFlush, smallWrite / 20000 * 1e6, smallPairWrite, smallPairFlush,
                smallPairWrite / 20000 * 1e6, tinyWrite, tinyFlush,
                tinyWrite / 200000 * 1e6, pairWrite, pairFlush, pairWrite / 200000 * 1e6, tinyRead, tinyRead / 200000 * 1e6);
    return 0;
}
