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
    return p;
}

} // namespace kivo
