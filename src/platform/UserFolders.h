// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kivo {

// The per-user folders the program writes to, derived from a home folder the
// caller passes in; nothing here looks at the real user's home behind its back.
class UserFolders {
public:
    explicit UserFolders(QString homeFolder);

    const QString& home() const { return m_home; }
    // Per-user application data ("Application Support" on macOS, XDG data home on Linux).
    QString applicationSupport() const;
    // Our own folder inside it.
    QString kivoSupport() const;
    QString desktop() const;
    // The system's temporary folder (not per user).
    static QString temporary();

    // "~/x" and "~" expanded against this home folder; other paths unchanged.
    QString expandTilde(const QString& path) const;
    // Every occurrence of the home folder path replaced by "~".
    QString abbreviate(const QString& absolutePath) const;

private:
    QString m_home;
};

} // namespace kivo
