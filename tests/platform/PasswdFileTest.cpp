// SPDX-License-Identifier: Apache-2.0
#include "platform/AccountHome.h"
#include "platform/HomeVolume.h"
#include "platform/PasswdFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

using namespace kivo;
using namespace Qt::Literals::StringLiterals;

namespace {

QStringList names(const QList<SystemAccount>& accounts)
{
    QStringList out;
    for (const SystemAccount& a : accounts)
        out << a.name;
    return out;
}

} // namespace

TEST(PasswdFile, KeepsWellFormedEntriesInOrderAndDropsTheRest)
{
    const struct {
        const char* text;
        QStringList names;
    } cases[] = {
        {"", {}},
        {"root:x:0:0:root:/root:/bin/bash\n", {"root"}},
        {"# a comment\n\nann:x:1000:1000:Ann Archer,,,:/home/ann:/bin/bash", {"ann"}}, // no final newline
        {"ann:x:1000:1000::/home/ann:/bin/sh\r\nbob:x:1001:1001::/home/bob:/bin/sh\r\n", {"ann", "bob"}},
        {"+nis\n-ldapuser\n+::::::\n", {}},                          // name-service markers
        {"ann:x:1000:1000::/home/ann\n", {}},                        // six fields
        {"ann:x:1000:1000::/home/ann:/bin/sh:extra\n", {}},          // eight fields
        {"ann:x:10a0:1000::/home/ann:/bin/sh\n", {}},                // id not a number
        {"ann:x:-5:1000::/home/ann:/bin/sh\n", {}},                  // nor a negative one
        {"ann:x:1000:gid::/home/ann:/bin/sh\n", {}},                 // group id likewise
        {":x:1000:1000::/home/ann:/bin/sh\n", {}},                   // no name
        {"ann:x:99999999999:1000::/home/ann:/bin/sh\n", {}},         // beyond an id
    };
    for (const auto& c : cases)
        EXPECT_EQ(names(PasswdFile::parse(c.text)), c.names) << c.text;

    const QList<SystemAccount> one = PasswdFile::parse("bob:x:1001:100:Bob Baker,Room 4,,:/home/bob:/bin/zsh\n");
    ASSERT_EQ(one.size(), 1);
    EXPECT_EQ(one[0].uid, 1001u);
    EXPECT_EQ(one[0].gid, 100u);
    EXPECT_EQ(one[0].home, u"/home/bob"_s);
    EXPECT_EQ(one[0].gecos, u"Bob Baker,Room 4,,"_s);
}

TEST(LoginDefs, ReadsThePeopleRangeAndKeepsDefaultsForWhatIsUnsaid)
{
    const struct {
        const char* text;
        unsigned low, high;
    } cases[] = {
        {"", 1000, 60000},
        {"UID_MIN 500\n", 500, 60000},
        {"# UID_MIN 5\nUID_MIN\t\t 2000\nUID_MAX   3000\nGID_MIN 10\n", 2000, 3000},
        {"UID_MIN 2000x\nUID_MAX\n", 1000, 60000}, // malformed values change nothing
        {"UID_MIN 5000\nUID_MAX 4000\n", 1000, 60000}, // upside down: not a range
        {"UID_MIN 1000\nUID_MIN 1500\n", 1500, 60000}, // the last word counts
    };
    for (const auto& c : cases) {
        const LoginDefs defs = LoginDefs::parse(c.text);
        EXPECT_EQ(defs.uidMin, c.low) << c.text;
        EXPECT_EQ(defs.uidMax, c.high) << c.text;
    }
    const LoginDefs defs = LoginDefs::parse("UID_MIN 1000\nUID_MAX 1002\n");
    EXPECT_FALSE(defs.isPersonUid(999));
    EXPECT_TRUE(defs.isPersonUid(1000));
    EXPECT_TRUE(defs.isPersonUid(1002));
    EXPECT_FALSE(defs.isPersonUid(1003));
}

TEST(HomeVolume, NetworkFileSystemsAreTheNetworksAndTheLocalOnesAreNot)
{
    for (quint64 network : {0x6969ULL, 0xFF534D42ULL, 0xFE534D42ULL, 0x517BULL, 0x00C36400ULL})
        EXPECT_TRUE(isNetworkFileSystemType(network)) << std::hex << network;
    // ext4, btrfs, xfs, tmpfs, overlayfs
    for (quint64 local : {0xEF53ULL, 0x9123683EULL, 0x58465342ULL, 0x01021994ULL, 0x794C7630ULL})
        EXPECT_FALSE(isNetworkFileSystemType(local)) << std::hex << local;
    EXPECT_TRUE(fileSystemTypeOf(u"/"_s).has_value());
    EXPECT_FALSE(fileSystemTypeOf(u"/nowhere/at/all"_s).has_value());
}

// The person a home belongs to is its owner's account, or nobody known.
TEST(AccountHome, AHomesOwnerIsNamedOnlyWhenTheAccountExists)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("f"));
    QFile(file).open(QIODevice::WriteOnly);
    EXPECT_EQ(host::ownerNameOf(file), QString::fromLocal8Bit(getpwuid(geteuid())->pw_name));
    EXPECT_EQ(host::ownerNameOf(dir.filePath(QStringLiteral("missing"))), std::nullopt);
    EXPECT_EQ(host::ownerNameOf(QString()), std::nullopt);
    if (geteuid() != 0)
        GTEST_SKIP() << "changing an owner needs root";
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(::lchown(QFile::encodeName(file).constData(), nobody->pw_uid, nobody->pw_gid), 0);
    EXPECT_EQ(host::ownerNameOf(file), QStringLiteral("nobody"));
    // An owner the account database does not know (a home restored from elsewhere).
    ASSERT_EQ(::lchown(QFile::encodeName(file).constData(), 54321, 54321), 0);
    EXPECT_EQ(host::ownerNameOf(file), std::nullopt);
}
