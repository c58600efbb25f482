// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>

namespace kivo {

// Where the developer tools of this system live. Everything absolute is here,
// so a test can point each one at a stand-in.
struct DeveloperToolPaths {
    // Package manager executables, first one present wins; `brewPrefix` of the
    // winner is measured for the install size.
    QStringList brewCandidates;
    // Version manager executables tried before PATH.
    QString rbenv;
    QString xcodeApp;    // empty: not looked for
    QString xcodeSelect;
    // Runs the language package tools with the scanned home's environment; empty: they are not asked.
    QString env;
    // The distribution's package tool; empty where there is none.
    QString aptMark;
    // Where home folders live ("/home/" + user) and, inside a home, where editors keep their data.
    QString usersRoot;
    QString editorDataFolder;

    // The prefix a brew executable belongs to ("/opt/homebrew/bin/brew" -> "/opt/homebrew").
    static QString brewPrefix(const QString& brewPath);
    // This system's, with KIVO_BREW (a ":" list), KIVO_XCODE_APP, KIVO_XCODE_SELECT,
    // KIVO_APT_MARK, KIVO_RBENV and KIVO_ENV_TOOL replacing the defaults when set
    // (an empty value: that tool is not asked).
    static DeveloperToolPaths system();
};

} // namespace kivo
