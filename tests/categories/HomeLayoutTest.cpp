#include "categories/HomeLayout.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;

TEST(HomeLayoutTest, AutoTakesMacOnlyForALibraryWithoutConfig)
{
    struct Case {
        QStringList folders;
        HomeLayoutKind expected;
    };
    const QList<Case> cases = {
        {{}, HomeLayoutKind::Linux},
        {{"Library/Preferences"}, HomeLayoutKind::MacOS},
        {{"Library/Preferences", ".config"}, HomeLayoutKind::Linux},
        {{"Library"}, HomeLayoutKind::Linux},
        {{".config", "Documents"}, HomeLayoutKind::Linux},
    };
    for (const Case& c : cases) {
        QTemporaryDir home;
        for (const QString& folder : c.folders)
            ASSERT_TRUE(QDir(home.path()).mkpath(folder));
        SCOPED_TRACE(c.folders.join(',').toStdString());
        EXPECT_EQ(detectLayout(home.path()), c.expected);
        EXPECT_EQ(resolveLayout(QStringLiteral("auto"), home.path()), c.expected);
    }
}

TEST(HomeLayoutTest, NamesRoundTripAndAnAbsentManifestFieldMeansMac)
{
    for (HomeLayoutKind kind : {HomeLayoutKind::Linux, HomeLayoutKind::MacOS}) {
        EXPECT_EQ(parseLayoutName(layoutName(kind)), kind);
        EXPECT_EQ(resolveLayout(layoutName(kind), QStringLiteral("/nonexistent")), kind);
    }
    EXPECT_EQ(parseLayoutName(QStringLiteral("Linux")), std::nullopt);
    EXPECT_EQ(resolveLayout(QStringLiteral("windows"), QStringLiteral("/")), std::nullopt);
    EXPECT_EQ(layoutOfManifestField(std::nullopt), HomeLayoutKind::MacOS);
    EXPECT_EQ(layoutOfManifestField(QStringLiteral("linux")), HomeLayoutKind::Linux);
}
