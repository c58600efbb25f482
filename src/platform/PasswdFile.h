// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Accounts.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace kivo {

// The local user database as a file (passwd(5)), read without the name
// service so it says which accounts are this machine's own.
struct PasswdFile {
    // Well-formed entries in file order; comments, NIS markers and lines
    // without seven fields or with a non-numeric id are left out.
    static QList<SystemAccount> parse(const QByteArray& text);
    static QList<SystemAccount> read(const QString& path = QStringLiteral("/etc/passwd"));
};

// The user-id range given to people, from login.defs(5).
struct LoginDefs {
    unsigned uidMin = 1000;
    unsigned uidMax = 60000;

    bool isPersonUid(unsigned uid) const { return uid >= uidMin && uid <= uidMax; }
    // Unsaid or unreadable values keep their defaults; a range given upside down is ignored.
    static LoginDefs parse(const QByteArray& text);
    static LoginDefs read(const QString& path = QStringLiteral("/etc/login.defs"));
    bool operator==(const LoginDefs&) const = default;
};

} // namespace kivo
