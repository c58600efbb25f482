// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QList>
#include <QString>

#include <optional>
#include <utility>

namespace kivo {

// One entry of the user database.
struct SystemAccount {
    QString name;
    unsigned uid = 0;
    unsigned gid = 0;
    QString home;
    QString gecos;
};

// Every entry of the user database (passwd, as the system's name service gives it).
QList<SystemAccount> systemAccounts();
std::optional<SystemAccount> accountNamed(const QString& name);
std::optional<SystemAccount> accountWithUid(unsigned uid);

// True when `path` lies on a network file system (NFS, CIFS/SMB).
bool isOnNetworkFileSystem(const QString& path);

// The effective user of this process.
unsigned effectiveUid();

// Becomes that user for good (groups, group, user); false when it could not.
bool becomeUser(unsigned uid, unsigned gid);

// True when systemd manages this machine.
bool systemdIsRunning();

} // namespace kivo
