// SPDX-License-Identifier: Apache-2.0
// Two windows on two hosts of the test network (two network namespaces, each
// with its own system bus and avahi-daemon): the destination finds the source
// by DNS-SD, types a wrong code first, then the right one, and receives.
#include "support/TestNet.h"
#include "support/CoroTest.h"
#include "support/TreeCompare.h"
#include "support/WindowChildren.h"

#include "app/DemoData.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace kivo;
using namespace kivo::test;

const QString kExec = QStringLiteral(KIVO_TESTNET_DIR "/exec");

TEST(GuiTwoHost, WindowsPairOverDnsSdAndMigrate)
{
    if (const std::string missing = test::testNetMissing(kExec); !missing.empty())
        KIVO_SKIP_OR_FAIL(missing);

    QTemporaryDir work;
    const QString source = work.path() + QStringLiteral("/source");
    const QString destination = work.path() + QStringLiteral("/destination");
    DemoData::buildSampleHome(source, 60, 17);
    QDir().mkpath(destination);
    const QString sourceName = freshName("gui-source");

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KIVO_GUI_CHILD_HOME"), source);
    env.insert(QStringLiteral("KIVO_GUI_CHILD_HOSTNAME"), sourceName);
    WindowChild sourceWindow;
    sourceWindow.start(QStringLiteral("DISABLED_SourceWindow"), env, kExec, {QStringLiteral("a")});
    QString port, code;
    ASSERT_TRUE(sourceWindow.readAdvertisement(port, code)) << sourceWindow.failure().value_or(QByteArray()).toStdString();

    env.insert(QStringLiteral("KIVO_GUI_CHILD_HOME"), destination);
    env.insert(QStringLiteral("KIVO_GUI_CHILD_HOSTNAME"), freshName("gui-destination"));
    env.insert(QStringLiteral("KIVO_GUI_CHILD_SOURCE"), sourceName);
    env.insert(QStringLiteral("KIVO_GUI_CHILD_CODE"), code);
    WindowChild destinationWindow;
    destinationWindow.start(QStringLiteral("DISABLED_DestinationWindow"), env, kExec, {QStringLiteral("b")});

    const auto destinationFailure = destinationWindow.failure();
    EXPECT_FALSE(destinationFailure) << destinationFailure.value_or(QByteArray()).toStdString();
    const auto sourceFailure = sourceWindow.failure();
    EXPECT_FALSE(sourceFailure) << sourceFailure.value_or(QByteArray()).toStdString();
    const QStringList differences = treeDifferences(source, destination);
    EXPECT_TRUE(differences.isEmpty()) << differences.join(u'\n').left(2000).toStdString();
}
