// SPDX-License-Identifier: Apache-2.0
#include "postmigration/AppPrefMapper.h"

#include <QList>

namespace kivo {
namespace {

struct Profile {
    const char* bundleKey;
    const char* displayName;
    QList<const char*> prefixes;
    QList<const char*> triggers;
};

const QList<Profile>& knownProfiles()
{
    static const QList<Profile> profiles = {
        {"_microsoft-office", "Microsoft Office",
         {"~/Library/Group Containers/UBF8T346G9.", "~/Library/Preferences/com.microsoft.",
          "~/Library/Application Support/Microsoft", "~/Library/Containers/com.microsoft."},
         {"com.microsoft.Word", "com.microsoft.Excel", "com.microsoft.Powerpoint", "com.microsoft.Outlook",
          "com.microsoft.onenote.mac", "com.microsoft.OneDrive", "com.microsoft.teams", "com.microsoft.teams2"}},
        {"_adobe-creative-cloud", "Adobe Creative Cloud",
         {"~/Library/Application Support/Adobe", "~/Library/Preferences/Adobe", "~/Library/Preferences/com.adobe.",
          "~/Library/Caches/Adobe"},
         {"com.adobe.acc.AdobeCreativeCloud", "com.adobe.Photoshop", "com.adobe.Illustrator", "com.adobe.InDesign",
          "com.adobe.LightroomClassicCC", "com.adobe.lightroom", "com.adobe.PremierePro", "com.adobe.AfterEffects",
          "com.adobe.Acrobat.Pro", "com.adobe.Bridge", "com.adobe.Audition", "com.adobe.Animate"}},
        {"_jetbrains-ides", "JetBrains IDEs",
         {"~/Library/Application Support/JetBrains", "~/Library/Preferences/jetbrains",
          "~/Library/Preferences/com.jetbrains.", "~/Library/Caches/JetBrains", "~/Library/Logs/JetBrains"},
         {"com.jetbrains.intellij", "com.jetbrains.intellij.ce", "com.jetbrains.pycharm", "com.jetbrains.pycharm.ce",
          "com.jetbrains.WebStorm", "com.jetbrains.CLion", "com.jetbrains.PhpStorm", "com.jetbrains.goland",
          "com.jetbrains.RubyMine", "com.jetbrains.rider", "com.jetbrains.datagrip", "com.jetbrains.AppCode",
          "com.jetbrains.toolbox"}},
    };
    return profiles;
}

// The first folder after `prefix`, when the path goes below it.
QString firstFolderAfter(const QString& path, const QString& prefix)
{
    if (!path.startsWith(prefix))
        return {};
    const QString rest = path.mid(prefix.size());
    const qsizetype slash = rest.indexOf(u'/');
    return slash < 0 ? QString() : rest.left(slash);
}

} // namespace

bool AppPrefMapper::isReverseDNS(const QString& text)
{
    if (text.count(u'.') < 2)
        return false;
    for (const QChar c : text) {
        const bool ok = (c.unicode() < 128 && c.isLetterOrNumber()) || c == u'.' || c == u'-' || c == u'_';
        if (!ok)
            return false;
    }
    return true;
}

AppPrefMapper::Classification AppPrefMapper::classify(const QString& path)
{
    for (const Profile& p : knownProfiles()) {
        for (const char* prefix : p.prefixes) {
            if (path.startsWith(QLatin1String(prefix))) {
                QStringList triggers;
                for (const char* t : p.triggers)
                    triggers.append(QLatin1String(t));
                return {QLatin1String(p.bundleKey), QLatin1String(p.displayName), triggers};
            }
        }
    }
    QString id;
    const QString prefs = QStringLiteral("~/Library/Preferences/");
    if (path.startsWith(prefs)) {
        const QString last = path.mid(path.lastIndexOf(u'/') + 1);
        if (last.endsWith(QLatin1String(".plist")) && isReverseDNS(last.chopped(6)))
            id = last.chopped(6);
    }
    for (const char* folder : {"~/Library/Application Support/", "~/Library/Containers/", "~/Library/Group Containers/"}) {
        if (!id.isEmpty())
            break;
        const QString candidate = firstFolderAfter(path, QLatin1String(folder));
        if (isReverseDNS(candidate))
            id = candidate;
    }
    if (!id.isEmpty())
        return {id, id, {id}};
    return {QStringLiteral("_unclassified"), QStringLiteral("Other preferences"), {}};
}

} // namespace kivo
