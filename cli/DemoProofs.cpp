// SPDX-License-Identifier: Apache-2.0
#include "cli/DemoProofs.h"

#include "app/DemoLinuxHome.h"

namespace kivo::cli {

namespace {

QString shown(const std::optional<QString>& value)
{
    return value ? *value : QStringLiteral("unset");
}

QString shown(const std::optional<QByteArray>& value)
{
    return value ? QStringLiteral("\"%1\"").arg(QString::fromUtf8(*value)) : QStringLiteral("does not open");
}

QString key(const char* name) { return QString::fromLatin1(name); }

} // namespace

QList<DemoProof> judgeDemo(const DemoExpectations& expected, const DemoObservations& seen)
{
    using Home = DemoLinuxHome;
    QList<DemoProof> proofs;
    const auto add = [&proofs](const char* category, const QString& text, bool passed) {
        proofs.append({QString::fromLatin1(category), text, passed});
    };

    add("userFiles",
        QStringLiteral("independent diff: %1 files compared, %2 missing, %3 different (content or mode)")
            .arg(seen.filesCompared).arg(seen.filesMissing).arg(seen.filesDifferent),
        seen.filesCompared > 0 && seen.filesMissing == 0 && seen.filesDifferent == 0);

    const QString wallpaperUri = QLatin1Char('\'') + expected.wallpaperUri + QLatin1Char('\'');
    const bool wallpaperMoved = seen.wallpaper == wallpaperUri;
    add("systemSettings",
        QStringLiteral("dconf read %1\n%2").arg(key(Home::kWallpaperKey), shown(seen.wallpaper))
            + (wallpaperMoved ? QStringLiteral(" (the new home)") : QStringLiteral(", expected ") + wallpaperUri),
        wallpaperMoved);
    add("systemSettings", QStringLiteral("dconf read %1 %2").arg(key(Home::kThemeKey), shown(seen.theme)),
        seen.theme == expected.theme);
    add("systemSettings",
        QStringLiteral("dconf read %1 %2").arg(key(Home::kDeniedKey), shown(seen.deniedKey))
            + (seen.deniedKey ? QStringLiteral(", yet it belongs to the old machine")
                              : QStringLiteral(" (bound to the old machine, left behind)")),
        !seen.deniedKey);

    const QString app = QStringLiteral("~/") + key(Home::kAppFileInFlatpak);
    const bool appIdentical = seen.appFileInFlatpak == expected.appFile;
    add("applicationData",
        QStringLiteral("%1's settings at %2, where its Flatpak reads them: %3")
            .arg(key(Home::kAppName), app,
                 !seen.appFileInFlatpak ? QStringLiteral("missing")
                                        : (appIdentical ? QStringLiteral("identical") : QStringLiteral("different")))
            + (seen.appFileAtPackagePlace ? QStringLiteral(", yet also left at ~/") + key(Home::kAppFile) : QString()),
        appIdentical && !seen.appFileAtPackagePlace);

    add("browserData",
        seen.secretInKeyring ? QStringLiteral("Safe Storage secret found in the destination's own keyring")
                             : QStringLiteral("no Safe Storage secret in the destination's keyring"),
        seen.secretInKeyring);
    add("browserData", QStringLiteral("saved password decrypted with it: %1").arg(shown(seen.password)),
        seen.password == expected.password);
    add("browserData", QStringLiteral("cookie decrypted with it: %1").arg(shown(seen.cookie)), seen.cookie == expected.cookie);

    add("keychain",
        QStringLiteral("secret-tool lookup server %1 user %2: %3")
            .arg(key(Home::kMailServer), key(Home::kMailUser),
                 seen.mailPassword ? QStringLiteral("\"%1\"").arg(QString::fromUtf8(*seen.mailPassword)) : QStringLiteral("none")),
        seen.mailPassword == expected.mailPassword);

    add("", seen.processesLeft == 0 ? QStringLiteral("both private sessions stopped, no process left")
                                    : QStringLiteral("%1 processes of the private sessions still running").arg(seen.processesLeft),
        seen.processesLeft == 0);
    return proofs;
}

} // namespace kivo::cli
