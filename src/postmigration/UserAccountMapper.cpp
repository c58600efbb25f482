// SPDX-License-Identifier: Apache-2.0
#include "postmigration/UserAccountMapper.h"

#include "platform/Accounts.h"
#include "platform/CommandRunner.h"
#include "platform/HostNames.h"

#include <QDir>
#include <QDirIterator>
#include <QSet>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QLoggingCategory>
#include <QtConcurrent>
#include <QCoroFuture>

#include "platform/Logging.h"

namespace kivo {
namespace {

QString trimmedOfBlanks(QString s)
{
    while (!s.isEmpty() && (s.front() == u' ' || s.front() == u'\t'))
        s.remove(0, 1);
    while (!s.isEmpty() && (s.back() == u' ' || s.back() == u'\t'))
        s.chop(1);
    return s;
}

} // namespace

std::pair<unsigned, unsigned> humanUidRange(const QByteArray& loginDefs)
{
    const LoginDefs defs = LoginDefs::parse(loginDefs);
    return {defs.uidMin, defs.uidMax};
}

bool isReservedAccountName(const QString& name)
{
    static const QStringList reserved = {QStringLiteral("daemon"), QStringLiteral("nobody"), QStringLiteral("root"),
                                         QStringLiteral("Guest")};
    return name.startsWith(u'_') || reserved.contains(name);
}

QStringList passwdNames(const QByteArray& passwd)
{
    QStringList out;
    for (const SystemAccount& a : PasswdFile::parse(passwd))
        out.append(a.name);
    return out;
}

QString accountLabel(const UserAccount& account)
{
    if (account.fullName.isEmpty() || account.fullName == account.username)
        return account.username;
    return QStringLiteral("%1 (%2)").arg(account.fullName, account.username);
}

QList<SystemAccount> peopleAmong(const QList<SystemAccount>& entries, const LoginDefs& defs)
{
    QList<SystemAccount> out;
    QSet<QString> seen;
    for (const SystemAccount& a : entries) {
        if (isReservedAccountName(a.name) || !defs.isPersonUid(a.uid) || seen.contains(a.name))
            continue;
        seen.insert(a.name);
        out.append(a);
    }
    return out;
}

bool holdsVisibleFile(const QString& home, int budget)
{
    // Without QDir::Hidden the dot-files and dot-folders a new account starts with are not seen.
    QDirIterator it(home, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext() && budget-- > 0) {
        it.next();
        const QFileInfo entry = it.fileInfo();
        if (!entry.isDir() || entry.isSymLink())
            return true;
    }
    return false;
}

std::optional<QString> dsclAttributeValue(const QString& output)
{
    const QStringList lines = output.split(u'\n', Qt::SkipEmptyParts);
    if (lines.isEmpty())
        return std::nullopt;
    const qsizetype colon = lines[0].indexOf(u':');
    QString value;
    if (colon >= 0)
        value = trimmedOfBlanks(lines[0].mid(colon + 1));
    else if (lines.size() > 1)
        value = trimmedOfBlanks(lines[1]);
    if (value.isEmpty())
        return std::nullopt;
    return value;
}

QStringList dsclUserNames(const QString& output)
{
    QStringList out;
    for (const QString& name : output.split(u'\n', Qt::SkipEmptyParts)) {
        if (!isReservedAccountName(name))
            out.append(name);
    }
    return out;
}

QList<UserAccount> scanDsclAccounts(const DsclSources& sources, const QString& currentUser)
{
    const auto read = [&](const QString& name, const QString& key) -> std::optional<QString> {
        const std::optional<QString> out = runCommand(
            sources.dscl, {QStringLiteral("."), QStringLiteral("-read"), QStringLiteral("/Users/") + name, key});
        return out ? dsclAttributeValue(*out) : std::nullopt;
    };
    const std::optional<QString> listing =
        runCommand(sources.dscl, {QStringLiteral("."), QStringLiteral("-list"), QStringLiteral("/Users")});
    QList<UserAccount> out;
    for (const QString& name : dsclUserNames(listing.value_or(QString()))) {
        const QString home = sources.usersRoot + u'/' + name;
        if (!QFileInfo::exists(home))
            continue;
        UserAccount account;
        account.username = name;
        account.homeFolder = home;
        account.isNetworkHome = home.startsWith(QLatin1String("/Network/Servers"));
        account.fullName = read(name, QStringLiteral("RealName")).value_or(name);
        const std::optional<QString> node = read(name, QStringLiteral("OriginalNodeName"));
        if (node && *node != QLatin1String("/Local/Default"))
            account.isMDMManaged = true;
        else if (read(name, QStringLiteral("dsAttrTypeNative:accountPolicyData")).value_or(QString()).toLower().contains(QLatin1String("mdm")))
            account.isMDMManaged = true;
        else
            account.isMDMManaged = QFileInfo::exists(sources.managedPreferences + u'/' + name);
        account.isCurrentUser = name == currentUser;
        if (!account.isNetworkHome)
            out.append(account);
    }
    return out;
}

UserAccountMapper::UserAccountMapper(AccountSources sources, QObject* parent)
    : QObject(parent), m_sources(std::move(sources))
{
}

QList<UserAccount> UserAccountMapper::performScan() const
{
    return scanAccounts(m_sources);
}

QList<UserAccount> UserAccountMapper::scanAccounts(const AccountSources& sources)
{
#ifdef Q_OS_MACOS
    return scanDsclAccounts({}, host::loginUserName());
#endif
    const LoginDefs defs = LoginDefs::read(sources.loginDefs);
    QSet<QString> local;
    for (const SystemAccount& a : PasswdFile::read(sources.localPasswd))
        local.insert(a.name);
    const QString me = host::loginUserName();
    QList<UserAccount> out;
    for (const SystemAccount& a : peopleAmong(systemAccounts(), defs)) {
        if (!QFileInfo(a.home).isDir())
            continue;
        UserAccount account;
        account.username = a.name;
        account.fullName = a.gecos.section(u',', 0, 0).trimmed();
        if (account.fullName.isEmpty())
            account.fullName = a.name;
        account.homeFolder = QDir::cleanPath(a.home);
        const std::optional<quint64> type = sources.fileSystemType(account.homeFolder);
        // Listed all the same, so the screen can say why it cannot be the one.
        account.isNetworkHome = type && isNetworkFileSystemType(*type);
        // Accounts from a directory service are the organisation's.
        account.isMDMManaged = !local.contains(a.name) || QFileInfo::exists(sources.managedPreferences + u'/' + a.name);
        account.isCurrentUser = a.name == me;
        account.hasFiles = !account.isNetworkHome && holdsVisibleFile(account.homeFolder);
        account.isEncrypted = !account.isNetworkHome && sources.isEncrypted(account.homeFolder);
        out.append(account);
    }
    return out;
}

QCoro::Task<void> UserAccountMapper::scanLocalAccounts()
{
    m_isScanning = true;
    Q_EMIT isScanningChanged();
    // The window that asked may close before the scan ends: the scan keeps its
    // own copy of where to look, and its answer then goes nowhere.
    QPointer<UserAccountMapper> self(this);
    QFuture<QList<UserAccount>> scan = QtConcurrent::run([sources = m_sources] { return scanAccounts(sources); });
    const QList<UserAccount> accounts = co_await scan;
    if (!self)
        co_return;
    setAccounts(accounts);
    m_isScanning = false;
    Q_EMIT isScanningChanged();
}

void UserAccountMapper::startScan()
{
    if (!m_isScanning)
        scanLocalAccounts();
}

void UserAccountMapper::setMapping(UserMapping mapping)
{
    if (m_mapping == mapping)
        return;
    m_mapping = std::move(mapping);
    Q_EMIT mappingChanged();
}

bool UserAccountMapper::selectAccounts(const QString& sourceUsername, const QString& destinationUsername)
{
    const auto named = [](const QList<UserAccount>& list, const QString& name) -> std::optional<UserAccount> {
        for (const UserAccount& a : list)
            if (a.username == name)
                return a;
        return std::nullopt;
    };
    const auto source = named(m_sourceAccounts, sourceUsername);
    const auto destination = named(m_destinationAccounts, destinationUsername);
    if (!source || !destination)
        return false;
    createMapping(*source, *destination);
    return true;
}

QVariantMap UserAccountMapper::rowOf(const UserAccount& a)
{
    return {{QStringLiteral("username"), a.username},
            {QStringLiteral("fullName"), a.fullName},
            {QStringLiteral("label"), accountLabel(a)},
            {QStringLiteral("homeFolder"), a.homeFolder},
            {QStringLiteral("isMDMManaged"), a.isMDMManaged},
            {QStringLiteral("isNetworkHome"), a.isNetworkHome},
            {QStringLiteral("isCurrentUser"), a.isCurrentUser},
            {QStringLiteral("hasFiles"), a.hasFiles},
            {QStringLiteral("isEncrypted"), a.isEncrypted}};
}

QVariantList UserAccountMapper::sourceAccountRows() const
{
    QVariantList rows;
    for (const UserAccount& a : m_sourceAccounts)
        rows.append(rowOf(a));
    return rows;
}

QVariantList UserAccountMapper::destinationAccountRows() const
{
    QVariantList rows;
    for (const UserAccount& a : m_destinationAccounts)
        rows.append(rowOf(a));
    return rows;
}

void UserAccountMapper::setAccounts(QList<UserAccount> accounts)
{
    m_sourceAccounts = accounts;
    m_destinationAccounts = std::move(accounts);
    Q_EMIT accountsChanged();
}

bool UserAccountMapper::autoSelectIfObvious()
{
    std::optional<UserAccount> source;
    for (const UserAccount& a : std::as_const(m_sourceAccounts)) {
        if (a.isCurrentUser) {
            source = a;
            break;
        }
    }
    if (!source && !m_sourceAccounts.isEmpty())
        source = m_sourceAccounts.first();

    std::optional<UserAccount> destination;
    QList<UserAccount> managed;
    for (const UserAccount& a : std::as_const(m_destinationAccounts)) {
        if (a.isCurrentUser && !destination)
            destination = a;
        if (a.isMDMManaged)
            managed.append(a);
    }
    if (!destination && managed.size() == 1)
        destination = managed.first();
    if (!destination && m_destinationAccounts.size() == 1)
        destination = m_destinationAccounts.first();
    if (!source || !destination)
        return false;
    createMapping(*source, *destination);
    return true;
}

UserMapping UserAccountMapper::createMapping(const UserAccount& source, const UserAccount& destination)
{
    m_mapping = UserMapping::make(source.username, source.homeFolder, destination.username, destination.homeFolder,
                                  destination.isMDMManaged);
    m_selectedSource = source;
    m_selectedDestination = destination;
    qCInfo(lcUserMapper, "Mapping created: %s → %s", qUtf8Printable(source.username),
           qUtf8Printable(destination.username));
    Q_EMIT mappingChanged();
    return *m_mapping;
}

QList<PathRewriteLog> UserAccountMapper::record(QList<PathRewriteLog> logs)
{
    for (const PathRewriteLog& log : std::as_const(logs)) {
        m_rewriteLogs.append(log);
        Q_EMIT rewritten(log);
    }
    if (!logs.isEmpty())
        Q_EMIT rewriteLogsChanged();
    return logs;
}

QCoro::Task<void> UserAccountMapper::rewrite(Files files)
{
    if (!m_mapping || !m_mapping->changesHomeFolder())
        co_return;
    const UserMapping mapping = *m_mapping;
    // A named future: g++ 12 mishandles lambda temporaries inside co_await.
    QFuture<QList<PathRewriteLog>> work = QtConcurrent::run([files, mapping] {
        QList<PathRewriteLog> all;
        for (const auto& [kind, path] : files) {
            if (kind == RewriteKind::plist)
                all += rewritePlistFile(mapping.destinationHomeFolder, path, mapping.pathRewriteRules);
            else if (kind == RewriteKind::text)
                all += rewriteTextFile(mapping.destinationHomeFolder, path, mapping.pathRewriteRules);
            else if (kind == RewriteKind::settings)
                all += rewriteSettingsFile(mapping.destinationHomeFolder, path, mapping.pathRewriteRules);
        }
        return all;
    });
    const QList<PathRewriteLog> logs = co_await work;
    record(logs);
}

QList<PathRewriteLog> UserAccountMapper::rewritePlist(const QString& path)
{
    if (!m_mapping || !m_mapping->changesHomeFolder())
        return {};
    return record(rewritePlistFile(m_mapping->destinationHomeFolder, path, m_mapping->pathRewriteRules));
}

QList<PathRewriteLog> UserAccountMapper::rewriteText(const QString& path)
{
    if (!m_mapping || !m_mapping->changesHomeFolder())
        return {};
    return record(rewriteTextFile(m_mapping->destinationHomeFolder, path, m_mapping->pathRewriteRules));
}

} // namespace kivo
