// SPDX-License-Identifier: Apache-2.0
#include "postmigration/AccountAdaptation.h"
#include "postmigration/AppReinstaller.h"
#include "support/CoroTest.h"
#include "postmigration/ReinstallList.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

using K = ReinstallEntry::Kind;

ReinstallEntry flatpak(const QString& id, const QString& url = u"https://dl.example.org/repo/"_s)
{
    return {K::flatpak, id, u"stable"_s, u"user"_s, u"example"_s, url, {}, false};
}

ReinstallEntry named(K kind, const QString& id) { return {kind, id, {}, {}, {}, {}, {}, false}; }

} // namespace

TEST(ReinstallList, EachEntryIsCheckedAgainstItsToolsNamingRulesAndNothingAShellReads)
{
    struct Case {
        ReinstallEntry entry;
        QString problem; // empty: accepted
    };
    ReinstallEntry branchWithSpace = flatpak(u"org.gimp.GIMP"_s);
    branchWithSpace.branch = u"stable now"_s;
    ReinstallEntry otherInstallation = flatpak(u"org.gimp.GIMP"_s);
    otherInstallation.installation = u"extra"_s;
    ReinstallEntry hugeKey = flatpak(u"org.gimp.GIMP"_s);
    hugeKey.remoteKey = QByteArray(kMaxRemoteKeyBytes + 1, 'k');
    ReinstallEntry badRemote = flatpak(u"org.gimp.GIMP"_s);
    badRemote.remote = u"../etc"_s;
    const QString shell = u"contains characters a shell would read specially"_s;
    const QList<Case> cases = {
        {flatpak(u"org.gimp.GIMP"_s), {}},
        {flatpak(u"com.example.App_2.Plugin-x"_s), {}},
        {flatpak(u"org.example.Tool"_s, u"file:///srv/repo"_s), {}},
        {flatpak(u"gimp"_s), u"not a valid flatpak application id"_s},
        {flatpak(u"org.gimp"_s), u"not a valid flatpak application id"_s},
        {flatpak(u"org.1gimp.GIMP"_s), u"not a valid flatpak application id"_s},
        {flatpak(u"org.gi-mp.GIMP"_s), u"not a valid flatpak application id"_s},
        {flatpak(u"org.gimp.GIMP;rm"_s), shell},
        {flatpak(u"org.gimp.$(id)"_s), shell},
        {flatpak(u"org.gimp.GIMP"_s, u"http://dl.example.org/repo"_s), u"the remote's URL is not https or file"_s},
        {flatpak(u"org.gimp.GIMP"_s, u"ftp://dl.example.org/repo"_s), u"the remote's URL is not https or file"_s},
        {flatpak(u"org.gimp.GIMP"_s, u"https:///repo"_s), u"the remote's URL has no host"_s},
        {flatpak(u"org.gimp.GIMP"_s, u"https://dl.example.org/r`id`"_s), shell},
        {flatpak(u"org.gimp.GIMP"_s, {}), u"the remote's URL is not https or file"_s},
        {branchWithSpace, shell},
        {otherInstallation, u"the installation is neither user nor system"_s},
        {hugeKey, u"the remote's key is too large"_s},
        {badRemote, u"not a valid flatpak remote name"_s},
        {named(K::snap, u"vlc"_s), {}},
        {named(K::snap, u"gnome-42-2204"_s), {}},
        {named(K::snap, u"Vlc"_s), u"not a valid snap name"_s},
        {named(K::snap, u"vlc--x"_s), u"not a valid snap name"_s},
        {named(K::snap, u"1234"_s), u"not a valid snap name"_s},
        {named(K::snap, u"-vlc"_s), u"an id may not start with -"_s},
        {named(K::snap, u"vlc|sh"_s), shell},
        {named(K::apt, u"g++"_s), {}},
        {named(K::apt, u"libc6:i386"_s), {}},
        {named(K::apt, u"python3.11"_s), {}},
        {named(K::apt, u"x"_s), u"not a valid Debian package name"_s},
        {named(K::apt, u"Vim"_s), u"not a valid Debian package name"_s},
        {named(K::apt, u"--allow-unauthenticated"_s), u"an id may not start with -"_s},
        {named(K::apt, u"vim\nsudo"_s), shell},
        {named(K::apt, u"vim && reboot"_s), shell},
    };
    for (const Case& c : cases) {
        const std::optional<QString> problem = reinstallEntryProblem(c.entry);
        EXPECT_EQ(problem.value_or(QString()), c.problem) << c.entry.qualifiedId().toStdString();
    }
}

TEST(ReinstallList, ARoundTripKeepsEveryFieldAndAHostileEntryIsRefusedAloneWithItsReason)
{
    ReinstallList sent;
    ReinstallEntry keyed = flatpak(u"org.gimp.GIMP"_s);
    keyed.remoteKey = QByteArray("\x99\x01\x0d binary key", 15);
    ReinstallEntry classic{K::snap, u"code"_s, {}, {}, {}, {}, {}, true};
    sent.entries = {keyed, classic, named(K::apt, u"vim"_s)};
    const std::optional<ReinstallList> back = ReinstallList::fromJson(sent.toJson());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->entries, sent.entries);
    EXPECT_TRUE(back->refused.isEmpty());

    // A peer's document: good entries among hostile and malformed ones.
    QJsonDocument doc = QJsonDocument::fromJson(sent.toJson());
    QJsonObject root = doc.object();
    QJsonArray apps = root.value(u"apps"_s).toArray();
    apps.append(QJsonObject{{u"kind"_s, u"flatpak"_s}, {u"id"_s, u"org.evil.App"_s}, {u"branch"_s, u"stable"_s},
                            {u"installation"_s, u"user"_s}, {u"remote"_s, u"evil"_s}, {u"url"_s, u"http://evil.example/repo"_s}});
    apps.append(QJsonObject{{u"kind"_s, u"apt"_s}, {u"id"_s, u"vim; curl evil|sh"_s}});
    apps.append(QJsonObject{{u"kind"_s, u"apt"_s}, {u"id"_s, 42}});
    apps.append(QJsonObject{{u"kind"_s, u"rpm"_s}, {u"id"_s, u"vim"_s}});
    apps.append(QJsonObject{{u"kind"_s, u"flatpak"_s}, {u"id"_s, u"org.gimp.Other"_s}, {u"branch"_s, u"stable"_s},
                            {u"installation"_s, u"user"_s}, {u"remote"_s, u"r"_s}, {u"url"_s, u"https://x.example/"_s},
                            {u"gpgKey"_s, u"not base64!"_s}});
    apps.append(u"just text"_s);
    apps.append(QJsonObject{{u"kind"_s, u"apt"_s}, {u"id"_s, u"vim"_s}}); // a repeat is kept once
    root.insert(u"apps"_s, apps);
    const std::optional<ReinstallList> checked = ReinstallList::fromJson(QJsonDocument(root).toJson());
    ASSERT_TRUE(checked);
    EXPECT_EQ(checked->entries, sent.entries);
    const QList<RefusedEntry> expected = {
        {u"flatpak"_s, u"org.evil.App"_s, u"the remote's URL is not https or file"_s},
        {u"apt"_s, u"vim; curl evil|sh"_s, u"contains characters a shell would read specially"_s},
        {u"apt"_s, {}, u"a field is missing or not text"_s},
        {u"rpm"_s, u"vim"_s, u"unknown kind of package"_s},
        {u"flatpak"_s, u"org.gimp.Other"_s, u"the remote's key is not base64"_s},
        {{}, {}, u"not an object"_s},
    };
    EXPECT_EQ(checked->refused, expected);
    // What was refused stays on record when the checked list is written and read again.
    EXPECT_EQ(ReinstallList::fromJson(checked->toJson())->refused, expected);

    EXPECT_FALSE(ReinstallList::fromJson("[1,2]"));
    EXPECT_FALSE(ReinstallList::fromJson("{\"apps\": 3}"));
    EXPECT_FALSE(ReinstallList::fromJson("not json"));
}

TEST(ReinstallList, ToolOutputsAreReadAsTheToolsPrintThem)
{
    const QList<FlatpakApp> apps = parseFlatpakList(u"org.gimp.GIMP\tstable\tsystem\tflathub\n"
                                                    "org.kivotest.Hello\t1\tuser\tkt\n"
                                                    "broken line\n"_s);
    ASSERT_EQ(apps.size(), 2);
    EXPECT_EQ(apps.at(0).id, u"org.gimp.GIMP"_s);
    EXPECT_EQ(apps.at(0).installation, u"system"_s);
    EXPECT_EQ(apps.at(1).branch, u"1"_s);
    EXPECT_EQ(apps.at(1).origin, u"kt"_s);

    const auto remotes = parseFlatpakRemotes(u"flathub\thttps://dl.flathub.org/repo/\nflathub\thttps://other/\nkt\tfile:///tmp/r\n"_s);
    ASSERT_EQ(remotes.size(), 2);
    EXPECT_EQ(remotes.at(0).second, u"https://dl.flathub.org/repo/"_s);
    EXPECT_EQ(remotes.at(1).first, u"kt"_s);

    const QList<SnapApp> snaps = parseSnapList(u"Name            Version   Rev    Tracking         Publisher   Notes\n"
                                               "bare            1.0       5      latest/stable    canonical✓  base\n"
                                               "code            1.95      174    latest/stable    vscode✓     classic\n"
                                               "core22          20240111  1122   latest/stable    canonical✓  base\n"
                                               "firefox         133.0     5437   latest/stable/…  mozilla✓    -\n"
                                               "snapd           2.63      21759  latest/stable    canonical✓  snapd\n"_s);
    ASSERT_EQ(snaps.size(), 2);
    EXPECT_EQ(snaps.at(0).name, u"code"_s);
    EXPECT_TRUE(snaps.at(0).classic);
    EXPECT_EQ(snaps.at(1).name, u"firefox"_s);
    EXPECT_FALSE(snaps.at(1).classic);
    EXPECT_TRUE(parseSnapList(u"No snaps are installed yet.\n"_s).isEmpty());

    EXPECT_EQ(parseNameLines(u"git\n  vim \n\ngit\n"_s), (QStringList{u"git"_s, u"vim"_s}));
}

TEST(ReinstallList, ChoosingEntriesAndRemotes)
{
    const QList<ReinstallEntry> entries = {flatpak(u"org.gimp.GIMP"_s), named(K::snap, u"firefox"_s),
                                           named(K::apt, u"firefox"_s), named(K::apt, u"vim"_s)};
    struct Selection {
        QStringList ids;
        QStringList chosen; // qualified ids, or the unknown id alone
        bool unknown = false;
    };
    const QList<Selection> selections = {
        {{}, {u"flatpak:org.gimp.GIMP"_s, u"snap:firefox"_s, u"apt:firefox"_s, u"apt:vim"_s}},
        {{u"vim"_s, u"org.gimp.GIMP"_s}, {u"flatpak:org.gimp.GIMP"_s, u"apt:vim"_s}},
        {{u"firefox"_s}, {u"snap:firefox"_s, u"apt:firefox"_s}},
        {{u"snap:firefox"_s}, {u"snap:firefox"_s}},
        {{u"vim"_s, u"emacs"_s}, {u"emacs"_s}, true},
        {{u"snap:vim"_s}, {u"snap:vim"_s}, true},
    };
    for (const Selection& s : selections) {
        const auto result = selectEntries(entries, s.ids);
        QStringList got;
        if (const auto* unknown = std::get_if<QString>(&result))
            got << *unknown;
        else
            for (const ReinstallEntry& e : std::get<QList<ReinstallEntry>>(result))
                got << e.qualifiedId();
        EXPECT_EQ(std::holds_alternative<QString>(result), s.unknown) << s.ids.join(u',').toStdString();
        EXPECT_EQ(got, s.chosen) << s.ids.join(u',').toStdString();
    }

    using A = RemoteChoice::Action;
    ReinstallEntry keyed = flatpak(u"org.gimp.GIMP"_s, u"https://dl.example.org/repo"_s);
    keyed.remoteKey = "key";
    const ReinstallEntry keyless = flatpak(u"org.gimp.GIMP"_s, u"https://dl.example.org/repo"_s);
    struct RemoteCase {
        ReinstallEntry entry;
        QList<std::pair<QString, QString>> configured;
        A action;
        QString name;
    };
    const QList<RemoteCase> remoteCases = {
        // The same repository under another name here is reused, key or not, trailing slash or not.
        {keyless, {{u"mine"_s, u"https://dl.example.org/repo/"_s}}, A::reuse, u"mine"_s},
        {keyed, {{u"mine"_s, u"https://dl.example.org/repo"_s}}, A::reuse, u"mine"_s},
        {keyed, {}, A::add, u"example"_s},
        {keyless, {}, A::refuse, {}},
        // Its name taken by another repository: never repointed.
        {keyed, {{u"example"_s, u"https://elsewhere.example/repo"_s}}, A::refuse, {}},
    };
    for (const RemoteCase& c : remoteCases) {
        const RemoteChoice choice = chooseRemote(c.entry, c.configured);
        EXPECT_EQ(choice.action, c.action);
        EXPECT_EQ(choice.name, c.name);
        EXPECT_EQ(choice.reason.isEmpty(), c.action != A::refuse);
    }
}

TEST(ReinstallList, AReceivedListIsRewrittenCheckedInPlaceAndALinkOrNonListIsLeftAlone)
{
    QTemporaryDir home;
    const QString path = reinstallListPath(home.path());
    EXPECT_TRUE(isReinstallListPath(path));
    EXPECT_FALSE(isReinstallListPath(home.path() + u"/Documents/reinstall.json"_s));
    const QByteArray sent = R"({"format":1,"apps":[{"kind":"apt","id":"vim"},{"kind":"snap","id":"x;reboot"}]})";
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(sent) == sent.size());
    f.close();
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    // As the destination does after the application data: no account mapping is needed for the check.
    runTask(AccountAdaptation(nullptr).adaptCategory(u"applicationData"_s, {home.path() + u"/.config/x"_s, path}));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const std::optional<ReinstallList> kept = ReinstallList::fromJson(f.readAll());
    f.close();
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->entries, QList<ReinstallEntry>{named(K::apt, u"vim"_s)});
    ASSERT_EQ(kept->refused.size(), 1);
    EXPECT_EQ(kept->refused.first().id, u"x;reboot"_s);
    EXPECT_EQ(QFile::permissions(path), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);

    const QString other = home.path() + u"/other.json"_s;
    ASSERT_TRUE(QFile::copy(path, other));
    QFile::remove(path);
    ASSERT_TRUE(QFile::link(other, path));
    EXPECT_FALSE(checkReceivedReinstallList(home.path(), path));
    QFile::remove(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("not json") == 8);
    f.close();
    EXPECT_FALSE(checkReceivedReinstallList(home.path(), path));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "not json");
}

TEST(ReinstallList, ARemotesKeyIsReadFromTheHomeWithoutFollowingALink)
{
    QTemporaryDir home, elsewhere;
    const QString repo = home.path() + u"/.local/share/flatpak/repo/"_s;
    QDir().mkpath(repo);
    QFile key(repo + u"flathub.trustedkeys.gpg"_s);
    ASSERT_TRUE(key.open(QIODevice::WriteOnly) && key.write(QByteArray("\x99\x00key", 5)) == 5);
    key.close();
    QFile secret(elsewhere.path() + u"/secret"_s);
    ASSERT_TRUE(secret.open(QIODevice::WriteOnly) && secret.write("not yours") == 9);
    secret.close();
    ASSERT_TRUE(QFile::link(secret.fileName(), repo + u"linked.trustedkeys.gpg"_s));
    QDir().mkpath(elsewhere.path() + u"/repo"_s);
    ASSERT_TRUE(QFile::copy(secret.fileName(), elsewhere.path() + u"/repo/other.trustedkeys.gpg"_s));
    // A home whose whole flatpak folder is a link to elsewhere.
    QTemporaryDir linkedHome;
    QDir().mkpath(linkedHome.path() + u"/.local/share"_s);
    ASSERT_TRUE(QFile::link(elsewhere.path(), linkedHome.path() + u"/.local/share/flatpak"_s));

    PackageToolPaths paths;
    paths.flatpakSystemDir = elsewhere.path();
    const PackageTools tools(paths, home.path());
    EXPECT_EQ(tools.flatpakRemoteKey(u"user"_s, u"flathub"_s), QByteArray("\x99\x00key", 5));
    EXPECT_EQ(tools.flatpakRemoteKey(u"user"_s, u"linked"_s), QByteArray());
    EXPECT_EQ(tools.flatpakRemoteKey(u"user"_s, u"../../../../x"_s), QByteArray());
    EXPECT_EQ(PackageTools(paths, linkedHome.path()).flatpakRemoteKey(u"user"_s, u"other"_s), QByteArray());
    EXPECT_EQ(tools.flatpakRemoteKey(u"user"_s, u"missing"_s), QByteArray());
    EXPECT_EQ(tools.flatpakRemoteKey(u"system"_s, u"other"_s), QByteArray("not yours"));
}
