// SPDX-License-Identifier: Apache-2.0
#include "app/DemoData.h"

#include "app/DemoLinuxHome.h"

#include "platform/Error.h"
#include "platform/FileSystem.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cstring>

namespace kivo {

namespace {

// splitmix64: tiny, fast, and identical on every platform, unlike the standard
// library's distributions.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t next()
    {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t n) { return n ? next() % n : 0; }
    // Roughly log-uniform in [2^loBits, 2^hiBits), integers only so it is exact everywhere.
    std::uint64_t logSize(int loBits, int hiBits)
    {
        const int bits = loBits + int(below(std::uint64_t(hiBits - loBits)));
        const std::uint64_t base = std::uint64_t(1) << bits;
        return base + below(base);
    }
    template <typename T, std::size_t N>
    const T& pick(const std::array<T, N>& from)
    {
        return from[below(N)];
    }

private:
    std::uint64_t m_state;
};

enum class Kind { text, csv, code, pdf, png, jpeg, audio, archive };

struct FileSpec {
    QString path; // relative to the home folder
    Kind kind;
    std::uint64_t size;
    mode_t mode = 0644;
};

constexpr std::array<const char*, 24> kWords{
    "alpha",  "budget", "canyon", "delta",   "ember",  "fjord",  "garden", "harbor",
    "island", "jasper", "kettle", "lantern", "meadow", "north",  "orbit",  "pepper",
    "quartz", "river",  "summit", "timber",  "umber",  "valley", "willow", "zephyr"};
// Names only: contents stay ASCII so a truncated text is still valid UTF-8.
constexpr std::array<const char*, 6> kNameWords{"café", "naïve", "Über", "größe", "日本語", "🎵"};
constexpr std::array<const char*, 5> kProjectDirs{"Documents/Projects/app/src/core",
                                                  "Documents/Projects/app/src/core/net",
                                                  "Documents/Projects/app/src/ui/widgets",
                                                  "Documents/Projects/website/assets/js",
                                                  "Documents/Projects/tools/scripts"};

constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * 1024;

// The hand-picked cases first, so that even a small sample holds the interesting ones.
QList<FileSpec> fixedFiles()
{
    auto s = [](const char* p) { return QString::fromUtf8(p); };
    return {
        {s("Documents/Projects/app/src/main.cpp"), Kind::code, 2 * KiB + 17},
        {s("Documents/.notes"), Kind::text, 731},
        {s("Documents/Résumé.txt"), Kind::text, 5 * KiB + 3},
        {s("Documents/日本語のメモ.txt"), Kind::text, 1999},
        {s("Pictures/🌅 Sunrise über Zürich.jpg"), Kind::jpeg, 300 * KiB + 11},
        {s("Documents/empty.txt"), Kind::text, 0},
        {s("Documents/Projects/app/scripts/build.sh"), Kind::code, 611, 0755},
        {s("Documents/private-notes.txt"), Kind::text, 1200, 0600},
        {s("Desktop/.settings.json"), Kind::text, 96},
        {s("Music/Grüße aus Köln.mp3"), Kind::audio, 1 * MiB + 333},
        {s("Documents/Reports/Annual Report 2025.pdf"), Kind::pdf, 4 * MiB + 4097},
        {s("Downloads/dataset-export.csv"), Kind::csv, 2 * MiB + 1},
        {s("Documents/Projects/app/.gitignore"), Kind::text, 42},
        {s("Documents/Projects/app/src/core/engine/deep/nested/config.h"), Kind::code, 900},
        {s("Desktop/a"), Kind::text, 3},
        {s("Downloads/.partial-download.cfg"), Kind::text, 64, 0600},
    };
}

FileSpec generatedFile(int index, Rng& rng)
{
    const QString word = QString::fromUtf8(rng.pick(kWords));
    // Now and then a name with accents, CJK or an emoji.
    const QString flavour = rng.below(6) == 0 ? QString::fromUtf8(rng.pick(kNameWords)) + QLatin1Char(' ') : QString();
    const QString stem = flavour + word + QLatin1Char('-') + QString::number(index);
    const std::uint64_t roll = rng.below(100);
    if (roll < 22) {
        const std::uint64_t k = rng.below(3);
        if (k == 0)
            return {QStringLiteral("Documents/") + stem + QStringLiteral(".txt"), Kind::text, rng.logSize(2, 16)};
        if (k == 1)
            return {QStringLiteral("Documents/Sheets/") + stem + QStringLiteral(".csv"), Kind::csv, rng.logSize(7, 19)};
        // Mostly modest documents, a few of several MB.
        const std::uint64_t size = rng.below(10) == 0 ? 1 * MiB + rng.below(5 * MiB) : rng.logSize(11, 20);
        return {QStringLiteral("Documents/") + stem + QStringLiteral(".pdf"), Kind::pdf, size};
    }
    if (roll < 40) {
        const QString dir = QString::fromUtf8(rng.pick(kProjectDirs));
        const bool script = dir.endsWith(QLatin1String("scripts"));
        const char* ext = script ? ".sh" : (rng.below(2) ? ".cpp" : ".h");
        return {dir + QLatin1Char('/') + word + QLatin1Char('_') + QString::number(index) + QLatin1String(ext),
                Kind::code, rng.logSize(6, 15), mode_t(script ? 0755 : 0644)};
    }
    if (roll < 50)
        return {QStringLiteral("Desktop/") + stem + QStringLiteral(".txt"), Kind::text, rng.logSize(2, 14)};
    if (roll < 62) {
        if (rng.below(2))
            return {QStringLiteral("Downloads/") + stem + QStringLiteral(".zip"), Kind::archive, rng.logSize(10, 20)};
        return {QStringLiteral("Downloads/") + stem + QStringLiteral(".pdf"), Kind::pdf, rng.logSize(11, 20)};
    }
    if (roll < 85) {
        const QString album = QStringLiteral("Pictures/") + (rng.below(2) ? QStringLiteral("Holiday/") : QString());
        if (rng.below(2))
            return {album + stem + QStringLiteral(".png"), Kind::png, rng.logSize(12, 20)};
        return {album + stem + QStringLiteral(".jpg"), Kind::jpeg, rng.logSize(13, 20)};
    }
    return {QStringLiteral("Music/") + stem + QStringLiteral(".mp3"), Kind::audio, rng.logSize(16, 21)};
}

QByteArray magic(Kind kind)
{
    switch (kind) {
    case Kind::pdf:
        return QByteArrayLiteral("%PDF-1.7\n%\xE2\xE3\xCF\xD3\n");
    case Kind::png:
        return QByteArrayLiteral("\x89PNG\r\n\x1A\n");
    case Kind::jpeg:
        return QByteArrayLiteral("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00");
    case Kind::audio:
        return QByteArrayLiteral("ID3\x04\x00\x00");
    case Kind::archive:
        return QByteArrayLiteral("PK\x03\x04");
    case Kind::csv:
        return QByteArrayLiteral("date,account,amount,category,note\n");
    default:
        return {};
    }
}

bool isBinary(Kind kind)
{
    return kind == Kind::pdf || kind == Kind::png || kind == Kind::jpeg || kind == Kind::audio ||
           kind == Kind::archive;
}

// Appends one line of plausible content.
void appendLine(QByteArray& out, Kind kind, Rng& rng)
{
    switch (kind) {
    case Kind::csv:
        out += "2025-" + QByteArray::number(1 + rng.below(12)).rightJustified(2, '0') + '-' +
               QByteArray::number(1 + rng.below(28)).rightJustified(2, '0') + ',' + rng.pick(kWords) + ',' +
               QByteArray::number(rng.below(100000)) + '.' + QByteArray::number(rng.below(100)).rightJustified(2, '0') +
               ',' + rng.pick(kWords) + ',' + rng.pick(kWords) + '\n';
        break;
    case Kind::code:
        if (rng.below(3) == 0)
            out += QByteArray("// ") + rng.pick(kWords) + ' ' + rng.pick(kWords) + '\n';
        else
            out += QByteArray("int ") + rng.pick(kWords) + '_' + QByteArray::number(rng.below(1000)) + " = " +
                   QByteArray::number(rng.below(65536)) + ";\n";
        break;
    default:
        for (int w = 0, n = 4 + int(rng.below(9)); w < n; ++w)
            out += QByteArray(rng.pick(kWords)) + (w + 1 < n ? ' ' : '\n');
        break;
    }
}

void writeFile(const QString& absolutePath, const FileSpec& spec, Rng& rng, const QDateTime& modified)
{
    QFile file(absolutePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw SystemError(QStringLiteral("Cannot create %1: %2").arg(absolutePath, file.errorString()));

    constexpr qsizetype kBlock = 256 * 1024;
    QByteArray buffer = magic(spec.kind).left(qsizetype(spec.size));
    std::uint64_t written = 0;
    while (written < spec.size) {
        const std::uint64_t want = std::min<std::uint64_t>(kBlock, spec.size - written);
        if (isBinary(spec.kind)) {
            const qsizetype start = buffer.size();
            buffer.resize(qsizetype(want));
            for (qsizetype i = start; i < buffer.size(); i += 8) {
                const std::uint64_t r = rng.next();
                std::memcpy(buffer.data() + i, &r, size_t(std::min<qsizetype>(8, buffer.size() - i)));
            }
        } else {
            while (std::uint64_t(buffer.size()) < want)
                appendLine(buffer, spec.kind, rng);
        }
        const QByteArray block = buffer.left(qsizetype(want));
        buffer.remove(0, qsizetype(want));
        if (file.write(block) != block.size())
            throw SystemError(QStringLiteral("Cannot write %1: %2").arg(absolutePath, file.errorString()));
        written += want;
    }
    file.close();
    // Times are set once everything is written: a later flush would move them to now.
    // Explicit modes, so the sample does not depend on the caller's umask.
    fs::setTimesAndMode(absolutePath, modified.toSecsSinceEpoch(), spec.mode);
}

bool isNonEmptyDirectory(const QString& path)
{
    const QDir dir(path);
    return dir.exists() && !dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty();
}

} // namespace

DemoData::Summary DemoData::summarize(const QString& folder)
{
    Summary summary;
    fs::forEachRegularFile(folder, false, [&](const QString&, const fs::FileStatus& status) {
        ++summary.files;
        summary.bytes += status.size;
    });
    return summary;
}

DemoData::Summary DemoData::buildSampleHome(const QString& homeFolder, int fileCount, quint32 seed, Contents contents)
{
    const QString target = QDir::cleanPath(QDir(homeFolder).absolutePath());
    if (isNonEmptyDirectory(target))
        return summarize(target);

    const QString staging = target + QStringLiteral(".building-") + QString::number(QCoreApplication::applicationPid());
    QDir(staging).removeRecursively();
    QDir root;
    if (!root.mkpath(staging))
        throw SystemError(QStringLiteral("Cannot create %1").arg(staging));

    QList<FileSpec> specs = fixedFiles();
    if (fileCount < specs.size())
        specs.resize(std::max(0, fileCount));
    Rng layout(std::uint64_t(seed) * 0x100000001B3ull + 1);
    for (int i = int(specs.size()); i < fileCount; ++i)
        specs.append(generatedFile(i, layout));

    for (const char* dir : {"Documents", "Desktop", "Downloads", "Pictures", "Music", "Downloads/Empty Folder"})
        root.mkpath(staging + QLatin1Char('/') + QString::fromUtf8(dir));

    // Fixed modification times spread over two years before 2026, so runs compare equal.
    const qint64 newest = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC).toSecsSinceEpoch();
    Summary summary;
    for (int i = 0; i < specs.size(); ++i) {
        const FileSpec& spec = specs.at(i);
        const QString absolute = staging + QLatin1Char('/') + spec.path;
        if (!root.mkpath(QFileInfo(absolute).path()))
            throw SystemError(QStringLiteral("Cannot create the folder of %1").arg(absolute));
        // One stream per file, so a file's contents do not depend on the ones before it.
        Rng content((std::uint64_t(seed) << 32) ^ std::uint64_t(i) * 0x9E3779B97F4A7C15ull);
        const QDateTime modified =
            QDateTime::fromSecsSinceEpoch(newest - qint64(content.below(2 * 365 * 24 * 3600)), Qt::UTC);
        writeFile(absolute, spec, content, modified);
        ++summary.files;
        summary.bytes += spec.size;
    }
    if (contents == Contents::linuxHome) {
        try {
            DemoLinuxHome::write(staging, target, seed);
        } catch (...) {
            QDir(staging).removeRecursively();
            throw;
        }
        summary = summarize(staging);
    }

    if (QFileInfo::exists(target))
        QDir(target).removeRecursively(); // empty by the check above
    else
        root.mkpath(QFileInfo(target).path());
    if (!root.rename(staging, target)) {
        QDir(staging).removeRecursively();
        throw SystemError(QStringLiteral("Cannot move the sample home into %1").arg(target));
    }
    return summary;
}

EngineeringToolsInventory DemoData::sampleDeveloperInventory(const QString& homeFolder)
{
    const QString home = homeFolder;
    EngineeringToolsInventory inv;
    inv.sourceArchitecture = currentArchitecture();

    HomebrewInfo brew;
    brew.installed = true;
    brew.version = QStringLiteral("4.4.2");
    brew.brewPath = QStringLiteral("/home/linuxbrew/.linuxbrew/bin/brew");
    brew.formulaeCount = 6;
    brew.casksCount = 0;
    brew.brewfileContents = QStringLiteral("brew \"gh\"\nbrew \"git\"\nbrew \"jq\"\nbrew \"node\"\nbrew \"ripgrep\"\nbrew \"wget\"\n");
    brew.outdatedPackages = {QStringLiteral("node")};
    brew.installSizeEstimate = 412ull << 20;
    inv.homebrew = brew;

    inv.shellConfigs = {{QStringLiteral(".bashrc"), home + QStringLiteral("/.bashrc"), 3912, {}, 0, 2},
                        {QStringLiteral(".profile"), home + QStringLiteral("/.profile"), 807, {}, 1, 1}};
    inv.dotfiles = {
        {QStringLiteral(".gitconfig"), home + QStringLiteral("/.gitconfig"), 214, true, false, false, QStringLiteral("Git configuration"), {}},
        {QStringLiteral(".ssh"), home + QStringLiteral("/.ssh"), 5120, true, true, true, QStringLiteral("SSH keys and configuration"),
         QStringLiteral("Contains private keys used for server and Git access")},
    };

    DevDirectory projects;
    projects.name = QStringLiteral("Projects");
    projects.path = home + QStringLiteral("/Projects");
    projects.totalSize = 734ull << 20;
    projects.fileCount = 18432;
    for (const char* name : {"website", "notes-app", "dotfiles"})
        projects.gitRepos << GitRepo{QString::fromLatin1(name), QStringLiteral("~/Projects/") + QString::fromLatin1(name),
                                     (std::uint64_t(std::strlen(name)) * 31) << 20};
    projects.gitRepoCount = int(projects.gitRepos.size());
    inv.devDirectories = {projects};

    inv.versionManagers = {{QStringLiteral("nvm"), home + QStringLiteral("/.nvm"), {QStringLiteral("18.20.4"), QStringLiteral("20.17.0")}},
                           {QStringLiteral("pyenv"), home + QStringLiteral("/.pyenv"), {QStringLiteral("3.12.6")}}};
    inv.globalPackages = GlobalPackages{3, 14, 0, 2};
    inv.ides = {{QStringLiteral("VSCode"), QStringLiteral("Visual Studio Code"), home + QStringLiteral("/.config/Code"),
                 home + QStringLiteral("/.vscode/extensions"),
                 {QStringLiteral("ms-python.python-2024.14.1"), QStringLiteral("esbenp.prettier-vscode-11.0.0")}, 48ull << 20}};
    inv.systemPackages = SystemPackages{QStringLiteral("apt"),
                                        {QStringLiteral("build-essential"), QStringLiteral("curl"), QStringLiteral("git"),
                                         QStringLiteral("python3-venv"), QStringLiteral("vim")}};
    return inv;
}

} // namespace kivo
