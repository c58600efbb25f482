// SPDX-License-Identifier: Apache-2.0
#include "categories/DestinationRelocation.h"
#include "support/FileBytes.h"
#include "transfer/WirePath.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;

// A German Linux source into an English home with a Flatpak GIMP, and a Mac's
// manifest into the same home: each path lands in this home's place of its kind,
// and what a peer could make of it is still checked as any received path is.
TEST(DestinationRelocationTest, EachCategoryLandsInThisHomesPlaceOfItsKindAndStaysChecked)
{
    QTemporaryDir dir;
    const QString home = dir.filePath(QStringLiteral("home"));
    test::writeBytes(home + QStringLiteral("/.config/user-dirs.dirs"), "XDG_VIDEOS_DIR=\"$HOME/Clips\"\n");
    LinuxInstalls installs;
    installs.flatpaks.insert(QStringLiteral("org.gimp.GIMP"));

    TransferManifest german;
    german.layout = QStringLiteral("linux");
    german.userFolders = {{"DOCUMENTS", "~/Dokumente"}, {"VIDEOS", "~/Videos"}, {"MUSIC", "~"}, {"PICTURES", "~/../B"}};
    TransferManifest mac; // no layout: a Mac's
    const PathRelocation fromGerman = relocationFor(german, home, HomeLayoutKind::Linux, installs);
    const PathRelocation fromMac = relocationFor(mac, home, HomeLayoutKind::Linux, installs);
    struct Case {
        const PathRelocation* relocation;
        const char* path;
        const char* category;
        const char* expected;
        bool refused;
    };
    const QList<Case> cases = {
        {&fromGerman, "~/Dokumente/Brief.odt", "userFiles", "~/Documents/Brief.odt", false},
        {&fromGerman, "~/Videos/a.mkv", "userFiles", "~/Clips/a.mkv", false},
        {&fromGerman, "~/Dokumente/Brief.odt", "applicationData", "~/Dokumente/Brief.odt", false},
        {&fromGerman, "~/.config/GIMP/gimprc", "applicationData", "~/.var/app/org.gimp.GIMP/config/GIMP/gimprc", false},
        {&fromGerman, "~/.config/GIMP/gimprc", "systemSettings", "~/.config/GIMP/gimprc", false},
        // A peer's folder names steer nothing out of the home: what follows them is checked.
        {&fromGerman, "~/Dokumente/../../etc/passwd", "userFiles", "~/Documents/../../etc/passwd", true},
        {&fromGerman, "~/x", "userFiles", "~/x", false},           // "~" is no folder of a kind
        {&fromGerman, "~/../B/y", "userFiles", "~/../B/y", true},
        {&fromMac, "~/Movies/clip.mov", "userFiles", "~/Clips/clip.mov", false},
        {&fromMac, "~/Library/Preferences/com.example.app.plist", "applicationData",
         "~/Library/Preferences/com.example.app.plist", false},
        {&fromMac, "~/.config/GIMP/gimprc", "applicationData", "~/.config/GIMP/gimprc", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const QString landed = (*c.relocation)(QString::fromUtf8(c.path), QString::fromUtf8(c.category));
        EXPECT_EQ(landed, QString::fromUtf8(c.expected));
        const WirePathCheck check = checkWirePath(landed, home, std::nullopt, MDMSafetyChecker());
        EXPECT_EQ(check.refusal.has_value(), c.refused);
    }
}
