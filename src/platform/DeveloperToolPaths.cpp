// SPDX-License-Identifier: Apache-2.0
#include "platform/DeveloperToolPaths.h"

namespace kivo {

QString DeveloperToolPaths::brewPrefix(const QString& brewPath)
{
    QString prefix = brewPath;
    if (prefix.endsWith(QLatin1String("/bin/brew")))
        prefix.chop(int(sizeof("/bin/brew") - 1));
    return prefix;
}

DeveloperToolPaths DeveloperToolPaths::system()
{
    DeveloperToolPaths p;
#ifdef Q_OS_MACOS
    p.brewCandidates = {QStringLiteral("/opt/homebrew/bin/brew"), QStringLiteral("/usr/local/bin/brew")};
    p.xcodeApp = QStringLiteral("/Applications/Xcode.app");
    p.xcodeSelect = QStringLiteral("/usr/bin/xcode-select");
    p.usersRoot = QStringLiteral("/Users/");
    p.editorDataFolder = QStringLiteral("Library/Application Support");
#else
    // No Xcode here: its paths stay empty and it is never looked for.
    p.brewCandidates = {QStringLiteral("/home/linuxbrew/.linuxbrew/bin/brew"), QStringLiteral("/opt/homebrew/bin/brew"),
                        QStringLiteral("/usr/local/bin/brew")};
    p.aptMark = QStringLiteral("/usr/bin/apt-mark");
    p.usersRoot = QStringLiteral("/home/");
    p.editorDataFolder = QStringLiteral(".config");
#endif
    p.rbenv = QStringLiteral("/usr/local/bin/rbenv");
    p.env = QStringLiteral("/usr/bin/env");
    // Relocations, for a machine whose tools live elsewhere (and for stand-ins in tests).
    const auto override = [](const char* name, QString& into) {
        if (qEnvironmentVariableIsSet(name))
            into = qEnvironmentVariable(name);
    };
    if (qEnvironmentVariableIsSet("KIVO_BREW"))
        p.brewCandidates = qEnvironmentVariable("KIVO_BREW").split(u':', Qt::SkipEmptyParts);
    override("KIVO_XCODE_APP", p.xcodeApp);
    override("KIVO_XCODE_SELECT", p.xcodeSelect);
    override("KIVO_APT_MARK", p.aptMark);
    override("KIVO_RBENV", p.rbenv);
    override("KIVO_ENV_TOOL", p.env);
    return p;
}

} // namespace kivo
