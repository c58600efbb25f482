// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Accounts.h"

#include <QJsonObject>
#include <QString>

#include <optional>

namespace kivo {

// What the privileged helper does for one request: every path is checked
// against the home of the human account it concerns before anything changes,
// and a request that breaks a rule is refused whole.
class HelperService {
public:
    static constexpr int kMaxPathsPerCall = 1000;

    struct Settings {
        QString loginDefs = QStringLiteral("/etc/login.defs");
        QString localPasswd = QStringLiteral("/etc/passwd");
        QString managedPreferences = QStringLiteral("/etc/kivo/managed-preferences");
        QString version = QStringLiteral(KIVO_VERSION);
    };

    HelperService() : HelperService(Settings{}) {}
    explicit HelperService(Settings settings);

    QJsonObject handle(const QJsonObject& request) const;

    // Why a path may not be touched for that home; nothing when it may.
    static std::optional<QString> pathProblem(const QString& path, const QString& home);

private:
    // A person's account with an existing home, or why not.
    std::optional<SystemAccount> humanAccount(const QString& name, QString* why) const;
    QJsonObject correctOwnership(const QJsonObject& request) const;
    QJsonObject writeFileData(const QJsonObject& request) const;
    QJsonObject setFileMode(const QJsonObject& request) const;
    QJsonObject fixSSHPermissions(const QJsonObject& request) const;
    QJsonObject isUserMDMManaged(const QJsonObject& request) const;
    QJsonObject readLocalUsers() const;

    Settings m_settings;
    unsigned m_uidLow = 1000;
    unsigned m_uidHigh = 60000;
};

} // namespace kivo
