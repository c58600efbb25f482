// SPDX-License-Identifier: Apache-2.0
#include "vault/SnapshotVault.h"

#include "categories/DataCategory.h"
#include "categories/HomeLayout.h"
#include "platform/FileSystem.h"
#include "vault/VaultLocation.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <memory>
#include <vector>

namespace kivo {

namespace {

using namespace std::chrono_literals;

// Snapshots and restores of a whole home may take hours; the short calls get a minute.
constexpr auto kLongCall = std::chrono::hours(24);
constexpr auto kShortCall = std::chrono::seconds(60);

bool isBelow(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder + u'/');
}

std::optional<double> remainingSeconds(const QElapsedTimer& clock, std::uint64_t done, std::uint64_t total)
{
    const double seconds = double(clock.elapsed()) / 1000.0;
    if (done == 0 || seconds < 1.0 || total <= done)
        return done >= total && total > 0 ? std::optional<double>(0.0) : std::nullopt;
    return double(total - done) * seconds / double(done);
}

} // namespace

QStringList excludedFolders(const QString& home, const QString& repository)
{
    QStringList out{kivoDataFolder(home)};
    if (isBelow(repository, home) && !isBelow(repository, out.first()))
        out << repository << keyFileBeside(repository);
    return out;
}

QPair<std::uint64_t, std::uint64_t> measurePaths(const QString& root, const QStringList& paths, const QStringList& skipped)
{
    const auto isSkipped = [&](const QString& path) {
        return std::any_of(skipped.begin(), skipped.end(), [&](const QString& s) { return isBelow(path, s); });
    };
    std::uint64_t files = 0, bytes = 0;
    for (const QString& relative : paths) {
        const QString path = QDir(root).filePath(relative);
        if (isSkipped(path))
            continue;
        const auto st = fs::status(path, fs::Links::dontFollow);
        if (st && st->isRegular()) {
            ++files;
            bytes += st->size;
            continue;
        }
        fs::forEachRegularFile(path, false, [&](const QString& file, const fs::FileStatus& s) {
            if (isSkipped(file))
                return;
            ++files;
            bytes += s.size;
        });
    }
    return {files, bytes};
}

QList<QPair<QString, QStringList>> categoryPaths(const QString& home, const QStringList& categories,
                                                 const std::optional<QStringList>& folders)
{
    QList<QPair<QString, QStringList>> out;
    const QList<DataCategory>& known = DataCategory::allCategories(detectLayout(home));
    for (const QString& id : categories) {
        QStringList paths;
        if (id == QLatin1String("userFiles") && folders) {
            paths = *folders;
        } else {
            for (const DataCategory& c : known)
                if (c.id == id)
                    for (const QString& p : c.paths)
                        paths << (p.startsWith(QLatin1String("~/")) ? p.mid(2) : p);
        }
        QStringList present;
        for (const QString& p : paths) {
            const QString clean = QDir::cleanPath(p);
            // Only what lies inside the home, never kivo's own folder.
            if (clean.isEmpty() || clean.startsWith(QLatin1String("..")) || QDir::isAbsolutePath(clean)
                || isBelow(QDir(home).filePath(clean), kivoDataFolder(home)))
                continue;
            if (fs::status(QDir(home).filePath(clean), fs::Links::dontFollow))
                present << clean;
        }
        out.append({id, present});
    }
    return out;
}

bool SnapshotVault::exists() const { return m_engine.hasRepository(m_access); }

bool SnapshotVault::init()
{
    if (exists()) {
        // Opening its config proves the password.
        m_engine.output(m_access, {QStringLiteral("cat"), QStringLiteral("config")}, kShortCall);
        return false;
    }
    ResticEngine::Call call;
    call.command = {QStringLiteral("init")};
    call.deadline = kShortCall;
    m_engine.run(m_access, call);
    return true;
}

CategorySnapshot SnapshotVault::snapshotCategory(const SnapshotRequest& request, const QString& id, const ListedPaths& list,
                                                 const std::function<void(const restic::BackupLine&)>& onStatus)
{
    const std::pair<const char*, QString> pairs[] = {
        {"snapshot", id}, {"kind", request.kind}, {"category", list.category}, {"home", request.home},
        {"user", request.username}, {"principal", request.principal}, {"migration", request.migrationID},
        {"files", QString::number(list.files)}, {"bytes", QString::number(list.bytes)}};
    QStringList command{QStringLiteral("backup"), QStringLiteral("--json"), QStringLiteral("--host"), request.host,
                        QStringLiteral("--tag"), QStringLiteral("kivo")};
    for (const auto& [key, value] : pairs)
        if (!value.isEmpty())
            command << QStringLiteral("--tag") << restic::tag(QString::fromLatin1(key), value);
    const QString& root = list.root.isEmpty() ? request.home : list.root;
    for (const QString& folder : excludedFolders(root, m_access.repository))
        command << QStringLiteral("--exclude") << folder;
    // The list goes by file, NUL-separated: any name survives and no command line grows past its limit.
    command << QStringLiteral("--files-from-raw") << list.listFile;

    CategorySnapshot out{list.category, {}, list.files, list.bytes, {}};
    ResticEngine::Call call;
    call.command = command;
    call.deadline = kLongCall;
    call.workingDirectory = root;
    call.onLine = [&](const QByteArray& line) {
        const restic::BackupLine parsed = restic::parseBackupLine(line);
        if (parsed.type == restic::BackupLine::Type::summary)
            out.engineSnapshot = parsed.snapshotID;
        if (parsed.type != restic::BackupLine::Type::other)
            onStatus(parsed);
    };
    m_engine.run(m_access, call);
    if (out.engineSnapshot.isEmpty())
        throw VaultError(VaultErrorKind::failed, QStringLiteral("the snapshot engine did not name the snapshot of %1").arg(list.category));
    return out;
}

VaultSnapshot SnapshotVault::snapshot(const SnapshotRequest& request, const VaultProgressHandler& progress)
{
    VaultSnapshot result;
    result.id = newSnapshotID();
    result.kind = request.kind;
    result.time = QDateTime::currentDateTimeUtc();
    result.host = request.host;
    result.username = request.username;
    result.home = request.home;
    result.migrationID = request.migrationID;

    // Lists held in memory go to files too, measured once for the totals and the tags.
    std::vector<std::unique_ptr<QTemporaryFile>> files;
    QList<ListedPaths> lists;
    for (const auto& [category, paths] : request.categories) {
        if (paths.isEmpty())
            continue;
        files.push_back(std::make_unique<QTemporaryFile>());
        QTemporaryFile& list = *files.back();
        if (!list.open())
            throw VaultError(VaultErrorKind::failed, QStringLiteral("no room for the list of files to snapshot"));
        for (const QString& p : paths) {
            list.write(p.toUtf8());
            list.write("", 1);
        }
        list.flush();
        // Counted as the engine will take it: without what the snapshot leaves out.
        const auto [count, bytes] = measurePaths(request.home, paths, excludedFolders(request.home, m_access.repository));
        lists << ListedPaths{category, list.fileName(), count, bytes};
    }
    lists += request.listed;

    VaultProgress overall;
    overall.phase = QStringLiteral("snapshot");
    for (const ListedPaths& l : lists) {
        overall.totalFiles += l.files;
        overall.totalBytes += l.bytes;
    }
    QElapsedTimer clock;
    clock.start();
    for (const ListedPaths& l : std::as_const(lists)) {
        const std::uint64_t filesBefore = overall.files, bytesBefore = overall.bytes;
        overall.category = l.category;
        const auto onStatus = [&](const restic::BackupLine& line) {
            overall.files = std::min(overall.totalFiles, filesBefore + line.files);
            overall.bytes = std::min(overall.totalBytes, bytesBefore + line.bytes);
            overall.currentFile = line.currentFile;
            overall.secondsRemaining = remainingSeconds(clock, overall.bytes, overall.totalBytes);
            if (progress)
                progress(overall);
        };
        CategorySnapshot done = snapshotCategory(request, result.id, l, onStatus);
        for (const auto& [category, paths] : request.categories)
            if (category == l.category)
                done.paths = paths;
        overall.files = filesBefore + done.files;
        overall.bytes = bytesBefore + done.bytes;
        result.categories << done;
    }
    if (progress) {
        overall.isFinal = true;
        overall.secondsRemaining = 0.0;
        progress(overall);
    }
    return result;
}

QList<VaultSnapshot> SnapshotVault::list() const
{
    if (!exists())
        throw VaultError(VaultErrorKind::noVault, QStringLiteral("there is no vault at %1").arg(m_access.repository));
    const QByteArray json = m_engine.output(m_access, {QStringLiteral("snapshots"), QStringLiteral("--json"),
                                                       QStringLiteral("--tag"), QStringLiteral("kivo")}, kShortCall);
    return groupSnapshots(restic::parseSnapshots(json));
}

void SnapshotVault::check(bool readData) const
{
    ResticEngine::Call call;
    call.command = {QStringLiteral("check")};
    if (readData)
        call.command << QStringLiteral("--read-data");
    call.deadline = kLongCall;
    m_engine.run(m_access, call);
}

void SnapshotVault::restore(const VaultSnapshot& snapshot, const std::optional<QString>& category, const QString& target,
                            const VaultProgressHandler& progress,
                            const std::function<void(const QString& category)>& restored) const
{
    VaultProgress overall;
    overall.phase = QStringLiteral("restore");
    for (const CategorySnapshot& c : snapshot.categories)
        if (!category || c.category == *category) {
            overall.totalFiles += c.files;
            overall.totalBytes += c.bytes;
        }
    QElapsedTimer clock, sinceLook;
    clock.start();
    sinceLook.start();
    for (const CategorySnapshot& c : snapshot.categories) {
        if (category && c.category != *category)
            continue;
        overall.category = c.category;
        const std::uint64_t filesBefore = overall.files, bytesBefore = overall.bytes;
        ResticEngine::Call call;
        call.command = {QStringLiteral("restore"), c.engineSnapshot, QStringLiteral("--target"), target};
        call.deadline = kLongCall;
        // The engine says nothing while it restores: what has arrived is counted on disk, once a second.
        call.tick = [&] {
            if (!progress || sinceLook.elapsed() < 1000)
                return;
            sinceLook.restart();
            const auto [files, bytes] = measurePaths(target, c.paths);
            overall.files = std::min(overall.totalFiles, filesBefore + files);
            overall.bytes = std::min(overall.totalBytes, bytesBefore + bytes);
            overall.secondsRemaining = remainingSeconds(clock, overall.bytes, overall.totalBytes);
            progress(overall);
        };
        m_engine.run(m_access, call);
        if (restored)
            restored(c.category);
        overall.files = filesBefore + c.files;
        overall.bytes = bytesBefore + c.bytes;
    }
    if (progress) {
        overall.files = overall.totalFiles;
        overall.bytes = overall.totalBytes;
        overall.secondsRemaining = 0.0;
        overall.isFinal = true;
        progress(overall);
    }
}

void SnapshotVault::forget(const QList<VaultSnapshot>& snapshots, bool prune) const
{
    QStringList ids;
    for (const VaultSnapshot& s : snapshots)
        for (const CategorySnapshot& c : s.categories)
            ids << c.engineSnapshot;
    if (!ids.isEmpty())
        m_engine.output(m_access, QStringList{QStringLiteral("forget"), QStringLiteral("--")} + ids, kShortCall);
    if (prune) {
        ResticEngine::Call call;
        call.command = {QStringLiteral("prune")};
        call.deadline = kLongCall;
        m_engine.run(m_access, call);
    }
}

} // namespace kivo
