// SPDX-License-Identifier: Apache-2.0
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/FileBytes.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

// Each side's installed apps come from its own laid-out machine folders.
QProcessEnvironment machineAt(const QString& sys)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"XDG_DATA_DIRS"_s, sys + u"/share"_s);
    env.insert(u"KIVO_FLATPAK_SYSTEM_DIR"_s, sys + u"/flatpak"_s);
    env.insert(u"KIVO_SNAP_DIR"_s, sys + u"/snap"_s);
    return env;
}

} // namespace

// A German desktop with a native GIMP into an English one where GIMP is a Flatpak
// and Inkscape is missing: documents land in Documents, GIMP's settings where the
// Flatpak reads them, Inkscape's wait for it, and nothing is left where it came from.
TEST(LinuxHomesEndToEnd, FilesLandInTheNewHomesFoldersAndAppDataInTheInstalledFormat)
{
    QTemporaryDir work;
    const QString source = work.filePath(u"src"_s), destination = work.filePath(u"dst"_s);
    const QString sourceSys = work.filePath(u"srcsys"_s), destinationSys = work.filePath(u"dstsys"_s);
    writeBytes(source + u"/.config/user-dirs.dirs"_s, "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
    writeBytes(source + u"/Dokumente/Brief.odt"_s, "letter");
    writeBytes(source + u"/.config/GIMP/2.10/gimprc"_s, "(theme \"Dark\")");
    writeBytes(source + u"/.config/inkscape/preferences.xml"_s, "<prefs/>");
    writeBytes(sourceSys + u"/share/applications/gimp.desktop"_s, "[Desktop Entry]\nExec=gimp %U\n");
    writeBytes(sourceSys + u"/share/applications/org.inkscape.Inkscape.desktop"_s, "[Desktop Entry]\nExec=inkscape\n");
    writeBytes(destination + u"/.config/placeholder"_s, "");
    writeBytes(destinationSys + u"/flatpak/app/org.gimp.GIMP/current/active/metadata"_s, "[Application]\n");

    CliProcess sender(kivoCli(), {u"send"_s, u"--home"_s, source, u"--categories"_s, u"userFiles,applicationData"_s,
                                  u"--hostname"_s, u"linux-src"_s, u"--json"_s}, machineAt(sourceSys));
    const QJsonObject ad = sender.waitForEvent(u"advertising"_s);
    ASSERT_FALSE(ad.isEmpty()) << sender.errors().toStdString();
    CliProcess receiver(kivoCli(), receiveFrom(destination, ad), machineAt(destinationSys));
    EXPECT_EQ(receiver.finish(), 0) << receiver.errors().toStdString();
    EXPECT_EQ(sender.finish(), 0) << sender.errors().toStdString();

    EXPECT_EQ(readBytes(destination + u"/Documents/Brief.odt"_s), "letter");
    EXPECT_FALSE(QFileInfo::exists(destination + u"/Dokumente"_s));
    EXPECT_EQ(readBytes(destination + u"/.var/app/org.gimp.GIMP/config/GIMP/2.10/gimprc"_s), "(theme \"Dark\")");
    EXPECT_FALSE(QFileInfo::exists(destination + u"/.config/GIMP"_s));
    // Inkscape is not installed here: its settings wait, staged under its desktop id.
    EXPECT_FALSE(QFileInfo::exists(destination + u"/.config/inkscape/preferences.xml"_s));
    EXPECT_TRUE(QFileInfo::exists(destination + u"/.kivo-staged-prefs/org.inkscape.Inkscape"_s));
}
