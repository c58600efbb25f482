// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "platform/Accounts.h"
#include "postmigration/UserAccountMapper.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::Literals::StringLiterals;

namespace {

UserAccount person(QString name, QString fullName, QString home)
{
    UserAccount a;
    a.username = std::move(name);
    a.fullName = std::move(fullName);
    a.homeFolder = std::move(home);
    return a;
}

QStringList peopleNames(const QList<SystemAccount>& accounts)
{
    QStringList out;
    for (const SystemAccount& a : accounts)
        out << a.name;
    return out;
}

} // namespace

struct Picker : testing::Test {
    QTemporaryDir work;
    QString served = work.filePath(u"ann"_s);
    AppState state{SessionEnvironment{served, u"box"_s, u"ann"_s, 0, nullptr, work.filePath(u"no-profile.plist"_s)}};

    void list(QList<UserAccount> accounts) { state.userMapper()->setAccounts(std::move(accounts)); }
    QString picked() const { return state.pickedAccount() ? state.pickedAccount()->username : QString(); }
    QVariantMap row(const QString& name) const
    {
        for (const QVariant& r : state.accountRows())
            if (r.toMap().value(u"username"_s) == name)
                return r.toMap();
        return {};
    }
};

TEST(AccountScan, PeopleAreTheRangesUnreservedNamesOnceEachLabelledByName)
{
    const LoginDefs defs{1000, 2000};
    const QList<SystemAccount> entries = {
        {u"root"_s, 0, 0, u"/root"_s, {}},          {u"ann"_s, 1000, 1000, u"/home/ann"_s, {}},
        {u"daemon"_s, 1001, 1, u"/"_s, {}},          {u"_svc"_s, 1500, 1, u"/var/svc"_s, {}},
        {u"nobody"_s, 65534, 65534, u"/"_s, {}},     {u"bob"_s, 2000, 2000, u"/home/bob"_s, {}},
        {u"ann"_s, 1999, 1999, u"/elsewhere"_s, {}}, {u"cy"_s, 2001, 2001, u"/home/cy"_s, {}},
    };
    EXPECT_EQ(peopleNames(peopleAmong(entries, defs)), (QStringList{u"ann"_s, u"bob"_s}));
    EXPECT_EQ(peopleAmong(entries, defs).first().home, u"/home/ann"_s) << "the first entry of a name wins";

    EXPECT_EQ(accountLabel(person(u"ann"_s, u"Ann Archer"_s, {})), u"Ann Archer (ann)"_s);
    EXPECT_EQ(accountLabel(person(u"ann"_s, u"ann"_s, {})), u"ann"_s);
    EXPECT_EQ(accountLabel(person(u"ann"_s, {}, {})), u"ann"_s);
}

// A fresh account's dot-files and empty folders are not "files"; one visible
// file anywhere beneath a visible folder is.
TEST(AccountScan, AHomeHasFilesOnlyWhenAVisibleFileLiesInIt)
{
    QTemporaryDir home;
    writeBytes(home.filePath(u".bashrc"_s), "x");
    writeBytes(home.filePath(u".cache/thumb.png"_s), "x");
    QDir(home.path()).mkpath(u"Documents/Empty"_s);
    EXPECT_FALSE(holdsVisibleFile(home.path()));
    writeBytes(home.filePath(u"Documents/Empty/letter.txt"_s), "x");
    EXPECT_TRUE(holdsVisibleFile(home.path()));
    EXPECT_FALSE(holdsVisibleFile(home.path(), 1)) << "the budget ends the search";
    EXPECT_FALSE(holdsVisibleFile(home.filePath(u"missing"_s)));
}

TEST_F(Picker, TheServedHomesAccountIsPreselectedAndTheSourceKeepsToIt)
{
    state.setDeviceRole(DeviceRole::source);
    list({person(u"bob"_s, u"Bob Baker"_s, u"/home/bob"_s), person(u"ann"_s, u"Ann Archer"_s, served + u"/"_s)});
    EXPECT_EQ(picked(), u"ann"_s);
    EXPECT_EQ(row(u"ann"_s).value(u"label"_s).toString(), u"Ann Archer (ann)"_s);
    EXPECT_TRUE(row(u"ann"_s).value(u"selectable"_s).toBool());
    // Another person's keyring and settings answer only in their own session.
    EXPECT_FALSE(row(u"bob"_s).value(u"selectable"_s).toBool());
    EXPECT_FALSE(row(u"bob"_s).value(u"whyNot"_s).toString().isEmpty());
    EXPECT_FALSE(state.pickAccount(u"bob"_s));
    EXPECT_FALSE(state.pickAccount(u"nobody-listed"_s));
    EXPECT_EQ(picked(), u"ann"_s);
    EXPECT_EQ(state.proposedUserMapping().sourceUsername, u"ann"_s);
}

// Picking where a destination's files land, and a network home refused, is
// AccountPicker.ThreePeopleInAPrivatePasswdOneReceivesOwningItsFilesANetworkHomeRefused's.
TEST_F(Picker, WithoutAnObviousAccountNothingIsPickedAndTheSessionsOwnMappingStands)
{
    state.setDeviceRole(DeviceRole::destination);
    list({person(u"bob"_s, u"Bob Baker"_s, u"/home/bob"_s), person(u"cy"_s, u"Cy Cole"_s, u"/home/cy"_s)});
    EXPECT_EQ(picked(), QString());
    EXPECT_TRUE(state.canConfirmMapping());
    EXPECT_EQ(state.proposedUserMapping().destinationHomeFolder, served);
}
