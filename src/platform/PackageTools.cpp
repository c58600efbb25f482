// SPDX-License-Identifier: Apache-2.0
#include "platform/PackageTools.h"

#include "platform/Accounts.h"
#include "platform/HomeBeneath.h"
#include "platform/UniqueFd.h"
#include "platform/Processes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {

namespace {

using namespace std::chrono_literals;

// Listing is quick; an install downloads and may take long on a slow line.
constexpr auto kListTimeout = 60s;
constexpr auto kInstallTimeout = std::chrono::milliseconds(std::chrono::hours(2));
constexpr qint64 kMaxKeyBytes = 64 * 1024;

std::optional<QString> output(const QString& tool, const QStringList& args, const CommandOptions& options)
{
    if (!PackageTools::present(tool))
        return std::nullopt;
    return runCommand(tool, args, options);
}

} // namespace

PackageToolPaths PackageToolPaths::system()
{
    PackageToolPaths p;
    p.flatpak = QStringLiteral("/usr/bin/flatpak");
    p.snap = QStringLiteral("/usr/bin/snap");
    p.aptGet = QStringLiteral("/usr/bin/apt-get");
    p.aptMark = QStringLiteral("/usr/bin/apt-mark");
    p.dpkgQuery = QStringLiteral("/usr/bin/dpkg-query");
    p.flatpakSystemDir = QStringLiteral("/var/lib/flatpak");
    const auto override = [](const char* name, QString& into) {
        if (qEnvironmentVariableIsSet(name))
            into = qEnvironmentVariable(name);
    };
    override("KIVO_FLATPAK", p.flatpak);
    override("KIVO_SNAP", p.snap);
    override("KIVO_APT_GET", p.aptGet);
    override("KIVO_APT_MARK", p.aptMark);
    override("KIVO_DPKG_QUERY", p.dpkgQuery);
    override("KIVO_FLATPAK_SYSTEM_DIR", p.flatpakSystemDir);
    return p;
}

PackageTools::PackageTools(PackageToolPaths paths, QString home) : m_paths(std::move(paths)), m_home(std::move(home))
{
    if (effectiveUid() == 0)
        if (const std::optional<unsigned> uid = ownerOf(m_home); uid && *uid != 0)
            if (const std::optional<SystemAccount> account = accountWithUid(*uid))
                m_owner = std::pair{account->uid, account->gid};
}

bool PackageTools::present(const QString& tool) { return !tool.isEmpty() && QFileInfo(tool).isExecutable(); }

bool PackageTools::isRoot() { return effectiveUid() == 0; }

CommandOptions PackageTools::flatpakOptions(std::chrono::milliseconds timeout) const
{
    CommandOptions o;
    o.timeout = timeout;
    o.runAs = m_owner;
    o.environment.insert(QStringLiteral("HOME"), m_home);
    // Another home's per-user installation is under that home, whatever ours is set to.
    if (QDir(m_home).canonicalPath() != QDir(QDir::homePath()).canonicalPath())
        o.environment.insert(QStringLiteral("XDG_DATA_HOME"), m_home + QStringLiteral("/.local/share"));
    return o;
}

std::optional<QString> PackageTools::flatpakListing(QStringList args) const
{
    if (!present(m_paths.flatpak))
        return std::nullopt;
    // flatpak makes the per-user installation the moment it is asked about it: a
    // home without one is asked about the system's only, so that looking changes nothing.
    if (!QFileInfo(m_home + QStringLiteral("/.local/share/flatpak")).isDir()) {
        if (!QFileInfo(m_paths.flatpakSystemDir).isDir())
            return QString();
        args << QStringLiteral("--system");
    }
    return runCommand(m_paths.flatpak, args, flatpakOptions(kListTimeout));
}

std::optional<QString> PackageTools::flatpakApps() const
{
    return flatpakListing({QStringLiteral("list"), QStringLiteral("--app"),
                           QStringLiteral("--columns=application,branch,installation,origin")});
}

std::optional<QString> PackageTools::flatpakRemotes() const
{
    return flatpakListing({QStringLiteral("remotes"), QStringLiteral("--columns=name,url")});
}

std::optional<QString> PackageTools::snapList() const
{
    CommandOptions o;
    o.timeout = kListTimeout;
    return output(m_paths.snap, {QStringLiteral("list")}, o);
}

std::optional<QString> PackageTools::aptManual() const
{
    CommandOptions o;
    o.timeout = kListTimeout;
    return output(m_paths.aptMark, {QStringLiteral("showmanual")}, o);
}

std::optional<QString> PackageTools::installedDebianPackages() const
{
    CommandOptions o;
    o.timeout = kListTimeout;
    const auto status = output(m_paths.dpkgQuery, {QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Status} ${Package}\\n")}, o);
    if (!status)
        return std::nullopt;
    QString names;
    for (QStringView line : QStringView(*status).split(u'\n'))
        if (line.startsWith(u"installed "))
            names += line.mid(10).toString() + u'\n';
    return names;
}

QByteArray PackageTools::flatpakRemoteKey(const QString& installation, const QString& remote) const
{
    if (remote.isEmpty() || remote.contains(u'/') || remote.startsWith(u'.'))
        return {};
    const QByteArray name = (QStringLiteral("repo/") + remote + QStringLiteral(".trustedkeys.gpg")).toUtf8();
    // The user's own installation is read without following a link anywhere below the
    // home: a home's owner must not be able to point root at a file it may not read.
    const bool system = installation == QLatin1String("system");
    const QByteArray base = system ? QFile::encodeName(m_paths.flatpakSystemDir) : QFile::encodeName(m_home);
    const UniqueFd root(::open(base.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0)
        return {};
    const UniqueFd fd(openWithoutLinks(root.get(), system ? name : QByteArrayLiteral(".local/share/flatpak/") + name,
                                       O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxKeyBytes)
        return {};
    QByteArray key(qsizetype(st.st_size), Qt::Uninitialized);
    qsizetype at = 0;
    while (at < key.size()) {
        const ssize_t n = ::read(fd.get(), key.data() + at, size_t(key.size() - at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        at += n;
    }
    key.truncate(at);
    return key;
}

CommandResult PackageTools::flatpakAddRemote(const QString& name, const QString& url, const QByteArray& key) const
{
    QTemporaryFile keyFile;
    if (!keyFile.open() || keyFile.write(key) != key.size() || !keyFile.flush())
        return {};
    CommandOptions o = flatpakOptions(kListTimeout);
    o.withErrors = true;
    // A public key: the account the tool runs as must be able to read it.
    keyFile.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    return runCommandDetailed(m_paths.flatpak, {QStringLiteral("remote-add"), QStringLiteral("--user"),
                                                QStringLiteral("--gpg-import=") + keyFile.fileName(), QStringLiteral("--"), name, url},
                              o);
}

CommandResult PackageTools::flatpakInstall(const QString& remote, const QString& ref) const
{
    CommandOptions o = flatpakOptions(kInstallTimeout);
    o.withErrors = true;
    return runCommandDetailed(m_paths.flatpak, {QStringLiteral("install"), QStringLiteral("--user"), QStringLiteral("--noninteractive"),
                                                QStringLiteral("--"), remote, ref},
                              o);
}

CommandResult PackageTools::snapInstall(const QString& name, bool classic) const
{
    CommandOptions o;
    o.timeout = kInstallTimeout;
    o.withErrors = true;
    QStringList args{QStringLiteral("install")};
    if (classic)
        args << QStringLiteral("--classic");
    args << name; // checked: never starts with "-"
    return runCommandDetailed(m_paths.snap, args, o);
}

CommandResult PackageTools::aptInstall(const QString& package) const
{
    CommandOptions o;
    o.timeout = kInstallTimeout;
    o.withErrors = true;
    o.environment.insert(QStringLiteral("DEBIAN_FRONTEND"), QStringLiteral("noninteractive"));
    return runCommandDetailed(m_paths.aptGet, {QStringLiteral("install"), QStringLiteral("-y"), package}, o);
}

QString lastLine(const QByteArray& output)
{
    const QList<QByteArray> lines = output.trimmed().split('\n');
    for (auto it = lines.crbegin(); it != lines.crend(); ++it)
        if (const QByteArray line = it->trimmed(); !line.isEmpty())
            return QString::fromUtf8(line).left(300);
    return {};
}

} // namespace kivo
