// SPDX-License-Identifier: Apache-2.0
#include "app/ReinstallOffer.h"
#include "support/FileBytes.h"
#include "support/CoroTest.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

ReinstallEntry flatpak(const QString& id)
{
    return {ReinstallEntry::Kind::flatpak, id, u"stable"_s, u"user"_s, u"flathub"_s, u"https://dl.flathub.org/repo/"_s, {}, false};
}
ReinstallEntry snap(const QString& id) { return {ReinstallEntry::Kind::snap, id, {}, {}, {}, {}, {}, false}; }
ReinstallEntry apt(const QString& id) { return {ReinstallEntry::Kind::apt, id, {}, {}, {}, {}, {}, false}; }

void writeScript(const QString& path, const QByteArray& body)
{
    writeBytes(path, "#!/bin/sh\n" + body);
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
}

} // namespace

TEST(ReinstallOffer, TicksWhatIsMissingAndInstallableAndSaysWhyTheRestIsNot)
{
    QTemporaryDir dir;
    const QString tool = dir.filePath(u"tool"_s);
    writeScript(tool, "exit 0\n");
    PackageToolPaths tools;
    tools.flatpak = tool;
    tools.aptGet = tool; // no snap here
    InstalledPackages installed;
    installed.flatpaks = {u"org.mozilla.firefox"_s};
    installed.debs = {u"git"_s};
    const QList<ReinstallEntry> entries{flatpak(u"org.gimp.GIMP"_s), flatpak(u"org.mozilla.firefox"_s), snap(u"spotify"_s),
                                        apt(u"git:amd64"_s), apt(u"inkscape"_s)};
    const struct {
        bool root;
        QList<bool> checked;
        QStringList blockers;
    } cases[] = {
        {false,
         {true, false, false, false, false},
         {{}, {}, u"snap is not installed on this computer"_s, {}, u"Needs administrator rights: sudo kivo-cli apps install inkscape"_s}},
        {true, {true, false, false, false, true}, {{}, {}, u"snap is not installed on this computer"_s, {}, {}}},
    };
    for (const auto& c : cases) {
        const QList<ReinstallRow> rows = offerRows(entries, installed, tools, c.root);
        QList<bool> checked;
        QStringList blockers;
        for (const ReinstallRow& r : rows) {
            checked << r.checked;
            blockers << r.blocker;
        }
        EXPECT_EQ(checked, c.checked) << "root " << c.root;
        EXPECT_EQ(blockers, c.blockers) << "root " << c.root;
        EXPECT_TRUE(rows[1].installedHere && rows[3].installedHere) << "an architecture suffix names the same package";
    }
    EXPECT_EQ(reinstallDisplayName(entries[0]), u"GIMP"_s);
    EXPECT_EQ(reinstallDisplayName(entries[2]), u"spotify"_s);
}

// The list came from the other computer: one too large to be a list is refused unread, with why.
TEST(ReinstallOffer, ReadingTheHomesListSaysWhyItCannot)
{
    QTemporaryDir dir;
    const QString path = reinstallListPath(dir.path());
    const struct {
        std::optional<QByteArray> content;
        QString says;
    } cases[] = {
        {std::nullopt, u"No list of applications to reinstall in "_s},
        {QByteArray("not json"), u"is not a list of applications"_s},
        {QByteArray(kMaxReinstallListBytes + 1, ' '), u"is larger than 8 MiB, too large for a list of applications"_s},
    };
    for (const auto& c : cases) {
        QFile::remove(path);
        if (c.content)
            writeBytes(path, *c.content);
        const auto read = readReinstallList(dir.path());
        ASSERT_TRUE(std::holds_alternative<QString>(read));
        EXPECT_TRUE(std::get<QString>(read).contains(c.says)) << std::get<QString>(read).toStdString();
    }
    writeBytes(path, R"({"format":1,"apps":[{"kind":"apt","id":"vim"},{"kind":"snap","id":"vim"},{"kind":"apt","id":"vim"}]})");
    const auto read = readReinstallList(dir.path());
    ASSERT_TRUE(std::holds_alternative<ReinstallList>(read));
    EXPECT_EQ(std::get<ReinstallList>(read).entries, (QList<ReinstallEntry>{apt(u"vim"_s), snap(u"vim"_s)}))
        << "a repeat is kept once";
}

// The list the source sent, installed with the snap tool; one install fails and says why beside its app.
TEST(ReinstallOffer, InstallsTheTickedAppsAndKeepsEachOutcome)
{
    QTemporaryDir dir;
    const QString home = dir.filePath(u"home"_s);
    const QString snapTool = dir.filePath(u"snap"_s);
    writeScript(snapTool, R"SH(case "$1" in
  list) printf 'Name  Version  Rev  Tracking  Publisher  Notes\ncore22  1  1  latest/stable  canonical**  base\n';;
  install) [ "$2" = missing-app ] && { echo 'error: snap "missing-app" not found'; exit 1; }; echo "$2 1.0 installed";;
esac
)SH");
    qputenv("KIVO_SNAP", snapTool.toUtf8());
    qputenv("KIVO_FLATPAK", "");
    qputenv("KIVO_DPKG_QUERY", "");

    ReinstallOffer offer(nullptr);
    offer.load(home);
    ASSERT_TRUE(waitUntil([&] { return !offer.loading(); }));
    EXPECT_FALSE(offer.available()) << "no list: no section";

    ReinstallList list;
    list.entries = {snap(u"good-app"_s), snap(u"missing-app"_s), snap(u"unwanted"_s)};
    writeBytes(reinstallListPath(home), list.toJson());
    offer.load(home);
    ASSERT_TRUE(waitUntil([&] { return !offer.loading(); }));
    ASSERT_EQ(offer.rows().size(), 3);
    EXPECT_EQ(offer.checkedCount(), 3);
    offer.setChecked(2, false);

    offer.install();
    EXPECT_TRUE(offer.installing());
    ASSERT_TRUE(waitUntil([&] { return offer.finished(); }, std::chrono::seconds(60)));
    EXPECT_FALSE(offer.installing());
    const QList<ReinstallRow>& rows = offer.rows();
    EXPECT_EQ(rows[0].state, u"installed"_s);
    EXPECT_EQ(rows[0].percent, 100);
    EXPECT_EQ(rows[1].state, u"failed"_s);
    EXPECT_EQ(rows[1].reason, u"error: snap \"missing-app\" not found"_s);
    EXPECT_TRUE(rows[1].checked) << "a failed app stays ticked for another try";
    EXPECT_TRUE(rows[2].state.isEmpty());
    EXPECT_EQ(offer.outcomeText(), u"1 installed, 1 failed"_s);
    EXPECT_EQ(offer.rowsView()[1].toMap().value(u"note"_s).toString(), rows[1].reason);

    qunsetenv("KIVO_SNAP");
    qunsetenv("KIVO_FLATPAK");
    qunsetenv("KIVO_DPKG_QUERY");
}
