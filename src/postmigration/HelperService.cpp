// SPDX-License-Identifier: Apache-2.0
#include "postmigration/HelperService.h"

#include "platform/FileSystem.h"
#include "platform/HomeBeneath.h"
#include "postmigration/UserAccountMapper.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include <QHash>

#include <memory>
#include <vector>

namespace kivo {
namespace {

QJsonObject failure(const QString& error)
{
    return {{QStringLiteral("success"), false}, {QStringLiteral("error"), error}};
}

QJsonObject success()
{
    return {{QStringLiteral("success"), true}};
}

QByteArray readSmallFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(4 * 1024 * 1024) : QByteArray();
}

} // namespace

HelperService::HelperService(Settings settings) : m_settings(std::move(settings))
{
    std::tie(m_uidLow, m_uidHigh) = humanUidRange(readSmallFile(m_settings.loginDefs));
}

std::optional<QString> HelperService::pathProblem(const QString& path, const QString& home)
{
    if (path.isEmpty() || !path.startsWith(u'/'))
        return QStringLiteral("not an absolute path: %1").arg(path);
    if (path.contains(QChar(0)))
        return QStringLiteral("path holds a NUL");
    if (path.contains(QLatin1String("/../")) || path.endsWith(QLatin1String("/..")))
        return QStringLiteral("path holds \"..\": %1").arg(path);
    if (path != home && !(path.startsWith(home) && path.at(home.size()) == u'/'))
        return QStringLiteral("outside %1: %2").arg(home, path);
    return std::nullopt;
}

std::optional<SystemAccount> HelperService::humanAccount(const QString& name, QString* why) const
{
    const std::optional<SystemAccount> account = accountNamed(name);
    if (!account || isReservedAccountName(name) || account->uid < m_uidLow || account->uid > m_uidHigh) {
        *why = QStringLiteral("not a person's account: %1").arg(name);
        return std::nullopt;
    }
    const QString home = QDir::cleanPath(account->home);
    if (home.size() < 2 || !home.startsWith(u'/') || !QFileInfo(home).isDir()) {
        *why = QStringLiteral("no home folder for %1").arg(name);
        return std::nullopt;
    }
    SystemAccount out = *account;
    out.home = home;
    return out;
}

QJsonObject HelperService::handle(const QJsonObject& request) const
{
    const QString method = request.value(QStringLiteral("method")).toString();
    try {
        if (method == QLatin1String("getVersion"))
            return {{QStringLiteral("version"), m_settings.version}};
        if (method == QLatin1String("correctOwnership"))
            return correctOwnership(request);
        if (method == QLatin1String("writeFileData"))
            return writeFileData(request);
        if (method == QLatin1String("setFileMode"))
            return setFileMode(request);
        if (method == QLatin1String("fixSSHPermissions"))
            return fixSSHPermissions(request);
        if (method == QLatin1String("isUserMDMManaged"))
            return isUserMDMManaged(request);
        if (method == QLatin1String("readLocalUsers"))
            return readLocalUsers();
        if (method == QLatin1String("verifyMDMEnrollment")) {
            const bool enrolled = QFileInfo(m_settings.managedPreferences).isDir();
            return {{QStringLiteral("enrolled"), enrolled}, {QStringLiteral("server"), QString()},
                    {QStringLiteral("error"), enrolled ? QString() : QStringLiteral("not enrolled")}};
        }
    } catch (const std::exception& e) {
        return failure(QString::fromUtf8(e.what()));
    }
    return failure(QStringLiteral("unknown method"));
}

QJsonObject HelperService::correctOwnership(const QJsonObject& request) const
{
    const QJsonValue pathsValue = request.value(QStringLiteral("paths"));
    const QString username = request.value(QStringLiteral("username")).toString();
    if (!pathsValue.isArray())
        return failure(QStringLiteral("paths must be an array"));
    const QJsonArray array = pathsValue.toArray();
    if (array.size() > kMaxPathsPerCall)
        return failure(QStringLiteral("more than %1 paths").arg(kMaxPathsPerCall));
    QString why;
    const std::optional<SystemAccount> account = humanAccount(username, &why);
    if (!account)
        return failure(why);
    const HomeBeneath home(account->home);
    // Every folder on the way is resolved (and held) before the first change:
    // a link or ".." anywhere refuses the request whole.
    struct Target {
        std::shared_ptr<UniqueFd> folder;
        QString name;
        QString path;
    };
    std::vector<Target> targets;
    targets.reserve(std::size_t(array.size()));
    QHash<QString, std::shared_ptr<UniqueFd>> folders;
    bool includesHome = false;
    for (const QJsonValue& v : array) {
        if (!v.isString())
            return failure(QStringLiteral("paths must be text"));
        const QString path = v.toString();
        if (const auto problem = pathProblem(path, account->home))
            return failure(*problem);
        if (path == account->home) {
            includesHome = true;
            continue;
        }
        const qsizetype slash = path.lastIndexOf(u'/');
        const QString parent = path.left(slash);
        std::shared_ptr<UniqueFd>& folder = folders[parent];
        if (!folder) {
            try {
                folder = std::make_shared<UniqueFd>(home.folderHandle(parent));
            } catch (const SystemError& e) {
                if (!QFileInfo::exists(parent) && !QFileInfo(parent).isSymLink())
                    continue; // gone since it was written: nothing to hand over
                return failure(e.description());
            }
        }
        targets.push_back({folder, path.mid(slash + 1), path});
    }
    QStringList errors;
    if (includesHome) {
        try {
            home.changeOwner(account->home, account->uid, account->gid);
        } catch (const SystemError& e) {
            errors.append(e.description());
        }
    }
    for (const Target& t : targets) {
        try {
            HomeBeneath::changeOwnerIn(*t.folder, t.name, account->uid, account->gid, t.path);
        } catch (const SystemError& e) {
            errors.append(e.description());
        }
    }
    const qsizetype total = qsizetype(targets.size());
    if (!errors.isEmpty())
        return failure(QStringLiteral("%1 of %2 failed: %3").arg(errors.size()).arg(total).arg(errors.first()));
    return success();
}

QJsonObject HelperService::writeFileData(const QJsonObject& request) const
{
    const QString path = request.value(QStringLiteral("path")).toString();
    const QString owner = request.value(QStringLiteral("ownerUsername")).toString();
    const QJsonValue dataValue = request.value(QStringLiteral("data"));
    if (!dataValue.isString())
        return failure(QStringLiteral("data must be Base64 text"));
    auto decoded = QByteArray::fromBase64Encoding(dataValue.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return failure(QStringLiteral("data is not Base64"));
    QString why;
    const std::optional<SystemAccount> account = humanAccount(owner, &why);
    if (!account)
        return failure(why);
    if (const auto problem = pathProblem(path, account->home))
        return failure(*problem);
    if (path == account->home)
        return failure(QStringLiteral("not a file path: %1").arg(path));
    const HomeBeneath home(account->home);
    if (const auto problem = home.resolveError(path.left(path.lastIndexOf(u'/'))))
        return failure(*problem);
    home.replaceFile(path, *decoded, account->uid, account->gid, 0600);
    return success();
}

QJsonObject HelperService::setFileMode(const QJsonObject& request) const
{
    const QString path = request.value(QStringLiteral("path")).toString();
    const QJsonValue modeValue = request.value(QStringLiteral("mode"));
    const double mode = modeValue.toDouble(-1);
    if (!modeValue.isDouble() || mode < 0 || mode > 0777 || mode != double(qint64(mode)))
        return failure(QStringLiteral("mode must be permission bits only (no setuid, setgid or sticky)"));
    // The home the path lies in decides whose account it is.
    std::optional<SystemAccount> owner;
    for (const SystemAccount& a : systemAccounts()) {
        QString why;
        const std::optional<SystemAccount> person = humanAccount(a.name, &why);
        if (person && !pathProblem(path, person->home) && (!owner || person->home.size() > owner->home.size()))
            owner = person;
    }
    if (!owner)
        return failure(QStringLiteral("not inside a person's home: %1").arg(path));
    if (const auto problem = pathProblem(path, owner->home))
        return failure(*problem);
    const HomeBeneath home(owner->home);
    if (const auto problem = home.resolveError(path))
        return failure(*problem);
    home.setMode(path, static_cast<std::uint16_t>(mode));
    return success();
}

QJsonObject HelperService::fixSSHPermissions(const QJsonObject& request) const
{
    const QString homeFolder = QDir::cleanPath(request.value(QStringLiteral("homeFolder")).toString());
    const QString owner = request.value(QStringLiteral("ownerUsername")).toString();
    QString why;
    const std::optional<SystemAccount> account = humanAccount(owner, &why);
    if (!account)
        return failure(why);
    if (homeFolder != account->home)
        return failure(QStringLiteral("%1 is not the home of %2").arg(homeFolder, owner));
    const HomeBeneath home(account->home);
    const QString ssh = account->home + QStringLiteral("/.ssh");
    if (const auto problem = home.resolveError(ssh))
        return failure(*problem);
    if (!home.isDirectory(ssh))
        return failure(QStringLiteral("%1 is not a folder").arg(ssh));
    home.changeOwner(ssh, account->uid, account->gid);
    home.setMode(ssh, 0700);
    QStringList errors;
    for (const QString& name : home.entries(ssh)) {
        const QString path = ssh + u'/' + name;
        const auto kind = fs::status(path, fs::Links::dontFollow);
        if (!kind || kind->kind == fs::FileStatus::Kind::other)
            continue; // a link (or anything but a file or folder) stays as it is
        try {
            home.changeOwner(path, account->uid, account->gid);
            if (home.isDirectory(path))
                home.setMode(path, 0700);
            else
                home.setMode(path, name.endsWith(QLatin1String(".pub")) ? 0644 : 0600);
        } catch (const SystemError& e) {
            errors.append(e.description());
        }
    }
    if (!errors.isEmpty())
        return failure(errors.join(QStringLiteral("; ")));
    return success();
}

QJsonObject HelperService::isUserMDMManaged(const QJsonObject& request) const
{
    const QString name = request.value(QStringLiteral("username")).toString();
    if (!accountNamed(name))
        return {{QStringLiteral("result"), false}, {QStringLiteral("error"), QStringLiteral("unknown user")}};
    const bool managed = !passwdNames(readSmallFile(m_settings.localPasswd)).contains(name)
        || (!name.contains(u'/') && QFileInfo::exists(m_settings.managedPreferences + u'/' + name));
    return {{QStringLiteral("result"), managed}};
}

QJsonObject HelperService::readLocalUsers() const
{
    QJsonArray users;
    for (const SystemAccount& a : systemAccounts()) {
        QString why;
        if (humanAccount(a.name, &why))
            users.append(a.name);
    }
    return {{QStringLiteral("users"), users}};
}

} // namespace kivo
