// SPDX-License-Identifier: Apache-2.0
#include "platform/AccountHome.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

using namespace kivo;

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
