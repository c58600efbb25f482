// SPDX-License-Identifier: Apache-2.0
#include "categories/LinuxSettingsHandler.h"
#include "categories/LinuxSettingsRules.h"
#include "platform/Dconf.h"
#include "postmigration/AccountAdaptation.h"
#include "support/FileBytes.h"

#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>

#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::desktopSettings;
using namespace Qt::StringLiterals;

TEST(LinuxSettingsRules, MachineBoundKeysAreDenied)
{
    struct Case {
        QString key;
        bool denied;
    };
    const QList<Case> cases = {
        {u"/org/gnome/desktop/remote-desktop/rdp/enable"_s, true},
        {u"/org/gnome/settings-daemon/plugins/color/night-light-enabled"_s, true},
        {u"/org/gnome/desktop/peripherals/tablets/056a:0357/area"_s, true},
        {u"/org/gnome/desktop/peripherals/touchscreens/x/output"_s, true},
        {u"/org/gnome/software/check-timestamp"_s, true},
        {u"/org/gnome/nautilus/window-state/initial-size"_s, false}, // a folder named so holds no geometry itself
        {u"/org/gnome/nautilus/window-state/maximized"_s, true},
        {u"/org/gnome/gedit/state/window/size"_s, false},
        {u"/org/gnome/gedit/state/window/window-size"_s, true},
        {u"/org/gnome/Console/last-window-size"_s, true},
        {u"/org/gnome/Console/window-position"_s, true},
        {u"/org/gnome/Console/last-window-maximised"_s, true},
        {u"/org/gnome/Console/window-maximized-on-start-hint"_s, false},
        {u"/org/gnome/desktop/background/picture-uri"_s, false},
        {u"/org/gnome/desktop/peripherals/mouse/speed"_s, false},
        {u"/org/gnome/desktop/remote-desktop-extra"_s, false}, // a sibling, not inside the folder
        {u"/org/gnome/desktop/interface/timestamp-format"_s, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isDenied(c.key), c.denied) << c.key.toStdString();
}

TEST(LinuxSettingsRules, DeniedKeysLeaveTheKeyfileAndEmptySectionsGo)
{
    const QByteArray in = "[/]\n"
                          "top=1\n"
                          "\n"
                          "[org/gnome/desktop/background]\n"
                          "picture-uri='file:///home/a/x.jpg'\n"
                          "\n"
                          "[org/gnome/desktop/remote-desktop/rdp]\n"
                          "enable=true\n"
                          "\n"
                          "[org/gnome/nautilus/window-state]\n"
                          "maximized=true\n"
                          "sidebar-width=200\n";
    QStringList dropped;
    const QByteArray out = withoutDeniedKeys(in, &dropped);
    EXPECT_EQ(out, QByteArray("[/]\n"
                              "top=1\n"
                              "\n"
                              "[org/gnome/desktop/background]\n"
                              "picture-uri='file:///home/a/x.jpg'\n"
                              "\n"
                              "[org/gnome/nautilus/window-state]\n"
                              "sidebar-width=200\n"));
    EXPECT_EQ(dropped, (QStringList{u"/org/gnome/desktop/remote-desktop/rdp/enable"_s,
                                    u"/org/gnome/nautilus/window-state/maximized"_s}));
    EXPECT_EQ(keyCount(in), 5);
    EXPECT_EQ(keyCount(out), 3);
    // Keys outside any section are no settings at all.
    EXPECT_EQ(withoutDeniedKeys("stray=1\n"), QByteArray());
}

TEST(LinuxSettingsRules, TheDestinationsOwnKeysAreKeptUnlessOverwritten)
{
    const QByteArray received = "[org/gnome/desktop/interface]\n"
                                "gtk-theme='Adwaita-dark'\n"
                                "clock-format='12h'\n"
                                "font-name='Sans 11'\n";
    const QByteArray present = "[org/gnome/desktop/interface]\n"
                               "gtk-theme='Yaru'\n"
                               "font-name='Sans 11'\n"
                               "[org/other]\n"
                               "clock-format='24h'\n";
    const struct {
        bool overwrite;
        QByteArray keyfile;
        QStringList kept, replaced;
    } cases[] = {
        {false, "[org/gnome/desktop/interface]\nclock-format='12h'\n", {u"/org/gnome/desktop/interface/gtk-theme"_s}, {}},
        {true, "[org/gnome/desktop/interface]\ngtk-theme='Adwaita-dark'\nclock-format='12h'\n", {},
         {u"/org/gnome/desktop/interface/gtk-theme"_s}},
    };
    for (const auto& c : cases) {
        const SettingsMerge merge = mergeSettings(received, present, c.overwrite);
        EXPECT_EQ(merge.keyfile, c.keyfile) << c.overwrite;
        EXPECT_EQ(merge.kept, c.kept) << c.overwrite;
        EXPECT_EQ(merge.replaced, c.replaced) << c.overwrite;
    }
    EXPECT_EQ(mergeSettings(received, {}, false).keyfile, received);
}

// Which of a home's files the desktop settings carry, whatever desktop the home ran.
TEST(LinuxSettingsRules, TheDesktopsOwnFilesTravelAndScreenLayoutsStay)
{
    const struct {
        const char* path;
        bool carried;
    } cases[] = {
        {"~/.config/kdeglobals", true},
        {"~/.config/kwinrc", true},
        {"~/.config/katerc", false}, // the editor's: its application data
        {"~/.config/gtk-3.0/settings.ini", true},
        {"~/.config/xfce4/xfconf/xfce-perchannel-xml/xfce4-desktop.xml", true},
        {"~/.config/xfce4/xfconf/xfce-perchannel-xml/xfce4-keyboard-shortcuts.xml", true},
        {"~/.config/xfce4/xfconf/xfce-perchannel-xml/displays.xml", false}, // this machine's monitors
        {"~/.config/xfce4/xfconf/xfce-perchannel-xml/notes.txt", false},
        {"~/.config/xfce4/panel/launcher-7/16881234561.desktop", true},
        {"~/.config/xfce4/panel/whiskermenu-1.rc", true},
        {"~/.config/xfce4/helpers.rc", true},
        {"~/.config/xfce4/terminal/terminalrc", true},
        {"~/.config/xfce4/desktop/icons.screen0-1904x1136.rc", false},
        {"~/.config/lxqt/panel.conf", true},
        {"~/.config/lxqt/session.conf", true},
        {"~/.config/lxqt/lxqt-config-monitor.conf", false}, // this machine's monitors
        {"~/.config/lxqt/old/panel.conf", false},
        {"~/.config/pcmanfm-qt/lxqt/settings.conf", true},
        {"~/.config/openbox/rc.xml", true},
        {"~/.config/openbox/lxqt-rc.xml", true},
        {"~/.config/unrelated.conf", false},
    };
    QTemporaryDir home;
    for (const auto& c : cases)
        test::writeBytes(home.path() + QString::fromUtf8(c.path).mid(1), "x");
    const QStringList sent = LinuxSettingsHandler::sentPaths(home.path());
    for (const auto& c : cases) {
        const QString path = QString::fromUtf8(c.path);
        const bool carried = std::ranges::any_of(sent, [&](const QString& s) { return path == s || path.startsWith(s + u'/'); });
        EXPECT_EQ(carried, c.carried) << c.path;
        // What they say of the old home is said of the new one on arrival.
        if (carried) {
            EXPECT_EQ(rewriteKindFor(u"systemSettings"_s, home.path() + path.mid(1)), RewriteKind::text) << c.path;
        }
    }
}

TEST(LinuxSettingsRules, AutostartProgramAndDisabling)
{
    struct Case {
        QByteArray entry;
        QString program;
    };
    const QList<Case> cases = {
        {"[Desktop Entry]\nExec=syncthing serve --no-browser\n", u"syncthing"_s},
        {"[Desktop Entry]\nTryExec=/opt/x/bin/x\nExec=x --tray\n", u"/opt/x/bin/x"_s},
        {"[Desktop Entry]\nExec=env GDK_BACKEND=x11 \"/opt/My App/app\" %U\n", u"/opt/My App/app"_s},
        {"[Desktop Action new]\nExec=other\n[Desktop Entry]\nName=n\n", QString()},
        {"", QString()},
    };
    for (const Case& c : cases)
        EXPECT_EQ(autostartProgram(c.entry), c.program) << c.entry.constData();

    // The switch goes into the entry's own group; an old value is replaced, other groups untouched.
    EXPECT_EQ(disabledAutostartEntry("[Desktop Entry]\nExec=x\nHidden=false\n\n[Desktop Action a]\nExec=y\n"),
              QByteArray("[Desktop Entry]\nExec=x\n\nHidden=true\nX-GNOME-Autostart-enabled=false\n"
                         "[Desktop Action a]\nExec=y\n"));
    EXPECT_EQ(disabledAutostartEntry("[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled=true\n"),
              QByteArray("[Desktop Entry]\nExec=x\nHidden=true\nX-GNOME-Autostart-enabled=false\n"));
    EXPECT_EQ(disabledAutostartEntry("Exec=x\n"),
              QByteArray("Exec=x\n[Desktop Entry]\nHidden=true\nX-GNOME-Autostart-enabled=false\n"));
}

TEST(LinuxSettingsRules, DatabaseHeaderSaysWhyItIsNoDatabase)
{
    const auto header = [](const char* signature, std::uint32_t version, std::uint32_t start, std::uint32_t end) {
        QByteArray h(dconf::kHeaderBytes, '\0');
        memcpy(h.data(), signature, 8);
        qToLittleEndian(version, h.data() + 8);
        qToLittleEndian(start, h.data() + 16);
        qToLittleEndian(end, h.data() + 20);
        return h;
    };
    struct Case {
        QByteArray head;
        std::uint64_t size;
        QString problemContains; // empty: a database
    };
    QByteArray swapped = header("raVGtnai", 0, 0, 0);
    qToBigEndian<std::uint32_t>(24, swapped.data() + 16);
    qToBigEndian<std::uint32_t>(60, swapped.data() + 20);
    const QList<Case> cases = {
        {header("GVariant", 0, 24, 200), 200, {}},
        {swapped, 60, {}},
        {header("GVariant", 0, 24, 201), 200, u"cut off"_s},
        {header("GVariant", 0, 90, 40), 200, u"cut off"_s},
        {header("GVariant", 1, 24, 40), 200, u"unknown version 1"_s},
        {header("SQLite f", 0, 0, 0), 4096, u"does not start like"_s},
        {"GVar", 4, u"too short"_s},
        {QByteArray(), 0, u"too short"_s},
    };
    for (const Case& c : cases) {
        const QString problem = dconf::databaseProblem(c.head, c.size);
        if (c.problemContains.isEmpty())
            EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
        else
            EXPECT_TRUE(problem.contains(c.problemContains)) << problem.toStdString();
    }
}
