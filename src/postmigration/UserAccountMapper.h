// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "postmigration/AccountAdaptation.h"
#include "postmigration/PathRewriting.h"
#include "platform/Accounts.h"
#include "platform/HomeVolume.h"
#include "platform/PasswdFile.h"
#include "transfer/UserMapping.h"

#include <QObject>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <optional>
#include <utility>

namespace kivo {

struct UserAccount {
    QString username;
    QString fullName;
    QString homeFolder;
    bool isMDMManaged = false;
    bool isNetworkHome = false;
    bool isCurrentUser = false;
    bool hasFiles = false;    // the home holds a visible file
    bool isEncrypted = false; // the home is encrypted at rest
    bool operator==(const UserAccount&) const = default;
};

// "Full Name (username)", or the username alone when it is the only name.
QString accountLabel(const UserAccount& account);

// Where the account scan looks; relocatable for tests, and the volume probes
// replaceable where this machine has no such volume.
struct AccountSources {
    QString loginDefs = QStringLiteral("/etc/login.defs");
    QString localPasswd = QStringLiteral("/etc/passwd");
    QString managedPreferences = QStringLiteral("/etc/kivo/managed-preferences");
    std::function<std::optional<quint64>(const QString&)> fileSystemType = fileSystemTypeOf;
    std::function<bool(const QString&)> isEncrypted = [](const QString& home) { return isHomeEncrypted(home); };
};

// The people among the user database's entries: ids in the login.defs range,
// no reserved name, each name once (the first entry wins), in the given order.
QList<SystemAccount> peopleAmong(const QList<SystemAccount>& entries, const LoginDefs& defs);
// True when a non-hidden file lies in `home` or a non-hidden folder beneath it
// (links not followed); gives up, false, after `budget` entries.
bool holdsVisibleFile(const QString& home, int budget = 5000);

// The range of user ids given to people, from login.defs (1000..60000 when unsaid).
std::pair<unsigned, unsigned> humanUidRange(const QByteArray& loginDefs);
// Names that are never a person's account, whatever their id.
bool isReservedAccountName(const QString& name);
// The user names listed in a passwd file's text.
QStringList passwdNames(const QByteArray& passwd);

// The value of one attribute in `dscl . -read` output, or nothing.
std::optional<QString> dsclAttributeValue(const QString& output);
// The user names in `dscl . -list /Users` output, system ones left out.
QStringList dsclUserNames(const QString& output);

// Where the directory-service scan looks (the macOS account source); relocatable for tests.
struct DsclSources {
    QString dscl = QStringLiteral("/usr/bin/dscl");
    QString usersRoot = QStringLiteral("/Users");
    QString managedPreferences = QStringLiteral("/Library/Managed Preferences");
};
// People's accounts as the directory service lists them. Blocking.
QList<UserAccount> scanDsclAccounts(const DsclSources& sources, const QString& currentUser);

// Lists this machine's people, pairs the source account with a destination
// one, and rewrites the old home folder inside received files.
class UserAccountMapper : public QObject, public AccountPathRewriter {
    Q_OBJECT
    // The screens' view; accounts as {username, fullName, label, homeFolder, isMDMManaged, isNetworkHome,
    // isCurrentUser, hasFiles, isEncrypted}.
    Q_PROPERTY(QVariantList sourceAccounts READ sourceAccountRows NOTIFY accountsChanged)
    Q_PROPERTY(QVariantList destinationAccounts READ destinationAccountRows NOTIFY accountsChanged)
    Q_PROPERTY(QVariantMap selectedSourceAccount READ selectedSourceRow NOTIFY mappingChanged)
    Q_PROPERTY(QVariantMap selectedDestinationAccount READ selectedDestinationRow NOTIFY mappingChanged)
    Q_PROPERTY(QVariantMap mapping READ mappingRow NOTIFY mappingChanged)
    Q_PROPERTY(bool isScanning READ isScanning NOTIFY isScanningChanged)
    Q_PROPERTY(int rewriteLogCount READ rewriteLogCount NOTIFY rewriteLogsChanged)
public:
    explicit UserAccountMapper(AccountSources sources = {}, QObject* parent = nullptr);

    // Blocking: runs off the main thread in scanLocalAccounts.
    QList<UserAccount> performScan() const;
    static QList<UserAccount> scanAccounts(const AccountSources& sources);
    QCoro::Task<void> scanLocalAccounts();
    void setAccounts(QList<UserAccount> accounts);

    const QList<UserAccount>& sourceAccounts() const { return m_sourceAccounts; }
    const QList<UserAccount>& destinationAccounts() const { return m_destinationAccounts; }
    bool isScanning() const { return m_isScanning; }
    const std::optional<UserAccount>& selectedSourceAccount() const { return m_selectedSource; }
    const std::optional<UserAccount>& selectedDestinationAccount() const { return m_selectedDestination; }
    const QList<PathRewriteLog>& rewriteLogs() const { return m_rewriteLogs; }

    Q_INVOKABLE bool autoSelectIfObvious();
    UserMapping createMapping(const UserAccount& source, const UserAccount& destination);
    // The screen's pick, by user name; false when either is not listed.
    Q_INVOKABLE bool selectAccounts(const QString& sourceUsername, const QString& destinationUsername);
    // Lists the accounts in the background.
    Q_INVOKABLE void startScan();
    // A mapping decided elsewhere (the command line, the manifest).
    void setMapping(UserMapping mapping);

    static QVariantMap rowOf(const UserAccount& account);
    QVariantList sourceAccountRows() const;
    QVariantList destinationAccountRows() const;
    QVariantMap selectedSourceRow() const { return m_selectedSource ? rowOf(*m_selectedSource) : QVariantMap(); }
    QVariantMap selectedDestinationRow() const { return m_selectedDestination ? rowOf(*m_selectedDestination) : QVariantMap(); }
    QVariantMap mappingRow() const { return m_mapping ? m_mapping->toJson().toVariantMap() : QVariantMap(); }
    // A count, not the records: there may be tens of thousands.
    int rewriteLogCount() const { return int(m_rewriteLogs.size()); }

    std::optional<UserMapping> mapping() const override { return m_mapping; }
    void rewritePlistPaths(const QString& path) override { rewritePlist(path); }
    void rewriteTextFilePaths(const QString& path) override { rewriteText(path); }
    // Rewrites on a worker thread; the records land here, on this object's thread.
    QCoro::Task<void> rewrite(Files files) override;
    QList<PathRewriteLog> rewritePlist(const QString& path);
    QList<PathRewriteLog> rewriteText(const QString& path);

Q_SIGNALS:
    void accountsChanged();
    void mappingChanged();
    void isScanningChanged();
    void rewriteLogsChanged();
    void rewritten(kivo::PathRewriteLog log);

private:
    QList<PathRewriteLog> record(QList<PathRewriteLog> logs);

    AccountSources m_sources;
    QList<UserAccount> m_sourceAccounts;
    QList<UserAccount> m_destinationAccounts;
    bool m_isScanning = false;
    std::optional<UserAccount> m_selectedSource;
    std::optional<UserAccount> m_selectedDestination;
    std::optional<UserMapping> m_mapping;
    QList<PathRewriteLog> m_rewriteLogs;
};

} // namespace kivo
