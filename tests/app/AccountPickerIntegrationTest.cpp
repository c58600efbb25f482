// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "app/DemoData.h"
#include "app/ReceiveFlow.h"
#include "app/SendFlow.h"
#include "platform/Accounts.h"
#include "platform/HomeVolume.h"
#include "platform/UserFolders.h"
#include "postmigration/UserAccountMapper.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"
#include "support/TreeCompare.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::Literals::StringLiterals;

namespace {

// Set in the child that runs inside the private mount namespace: the work folder.
constexpr auto kInside = "KIVO_TEST_ACCOUNT_NAMESPACE";
constexpr unsigned kBobUid = 61002;

QString passwdText(const QString& work)
{
    // Ids above any real person's on this machine, in the range the test's login.defs gives people.
    return u"root:x:0:0:root:/root:/bin/sh\n"
           "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n"
           "ann:x:61001:61001:Ann Archer,,,:%1/home/ann:/bin/sh\n"
           "bob:x:61002:61002:Bob Baker,,,:%1/home/bob:/bin/sh\n"
           "cy:x:61003:61003:Cy Cole,,,:%1/home/cy:/bin/sh\n"_s.arg(work);
}

QStringList filesUnder(const QString& root)
{
    QStringList out;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << it.next();
    return out;
}

// Inside the namespace: the three people of the bound passwd are listed; cy's
// home, on what the probe calls NFS, is refused; bob is picked and receives.
void pickAndReceive(const QString& work)
{
    const QString annHome = work + u"/home/ann"_s, bobHome = work + u"/home/bob"_s, cyHome = work + u"/home/cy"_s;
    const QString source = work + u"/source"_s;
    DemoData::buildSampleHome(source, 12, 3);

    AccountSources sources;
    sources.loginDefs = work + u"/login.defs"_s;
    sources.fileSystemType = [cyHome](const QString& home) -> std::optional<quint64> {
        return home == cyHome ? std::optional<quint64>(0x6969) : fileSystemTypeOf(home);
    };
    const QList<UserAccount> accounts = UserAccountMapper(sources).performScan();

    AppState destination({annHome, u"new-box"_s, {}, 0, nullptr, work + u"/no-profile.plist"_s});
    destination.setDeviceRole(DeviceRole::destination);
    destination.userMapper()->setAccounts(accounts);
    QStringList labels;
    for (const QVariant& row : destination.accountRows())
        labels << row.toMap().value(u"label"_s).toString();
    EXPECT_EQ(labels, (QStringList{u"Ann Archer (ann)"_s, u"Bob Baker (bob)"_s, u"Cy Cole (cy)"_s}));
    ASSERT_TRUE(destination.pickedAccount());
    EXPECT_EQ(destination.pickedAccount()->username, u"ann"_s) << "the served home's account comes picked";

    ASSERT_TRUE(destination.pickAccount(u"cy"_s));
    EXPECT_TRUE(destination.pickedAccount()->isNetworkHome);
    EXPECT_FALSE(destination.canConfirmMapping());
    destination.confirmProposedUserMapping();
    EXPECT_FALSE(destination.confirmedUserMapping()) << "a network home is refused";
    destination.setDeviceRole(DeviceRole::source);
    ASSERT_TRUE(destination.pickedAccount());
    EXPECT_EQ(destination.pickedAccount()->username, u"ann"_s) << "a role chosen again starts afresh from the served home";
    destination.setDeviceRole(DeviceRole::destination);

    ASSERT_TRUE(destination.pickAccount(u"bob"_s));
    AppState sender({source, u"old-box"_s, u"sam"_s, 0, nullptr, work + u"/no-profile.plist"_s});
    SendFlow::Request sendRequest;
    sendRequest.categories = QStringList{u"userFiles"_s};
    SendFlow send(sender, std::move(sendRequest));
    std::unique_ptr<ReceiveFlow> receive;
    std::optional<QCoro::Task<FlowExit>> receiving;
    QObject::connect(&send, &SendFlow::advertising, [&](const Advertisement& a) {
        if (receive)
            return;
        ReceiveFlow::Request request;
        request.directHost = u"127.0.0.1"_s;
        request.directPort = a.port;
        request.askCode = [code = a.code]() -> QCoro::Task<std::optional<QString>> { co_return code; };
        receive = std::make_unique<ReceiveFlow>(destination, std::move(request));
        receiving.emplace(receive->run());
    });
    EXPECT_EQ(runTask(send.run()), FlowExit::success);
    ASSERT_TRUE(receiving);
    EXPECT_EQ(runTask(std::move(*receiving)), FlowExit::success);

    ASSERT_TRUE(destination.confirmedUserMapping());
    EXPECT_EQ(destination.confirmedUserMapping()->destinationUsername, u"bob"_s);
    EXPECT_EQ(treeDifferences(source, bobHome), QStringList());
    const QStringList landed = filesUnder(bobHome);
    EXPECT_FALSE(landed.isEmpty());
    for (const QString& path : landed)
        EXPECT_EQ(QFileInfo(path).ownerId(), kBobUid) << path.toStdString();
    // The session's own record stays with whoever ran it; nothing received goes there.
    QStringList inAnnHome = filesUnder(annHome);
    inAnnHome.removeIf([&](const QString& p) { return p.startsWith(UserFolders(annHome).kivoSupport() + u'/'); });
    EXPECT_EQ(inAnnHome, QStringList()) << "the served home received nothing";
    EXPECT_EQ(filesUnder(cyHome), QStringList());
}

bool run(const QString& program, const QStringList& arguments)
{
    return QProcess::execute(program, arguments) == 0;
}

} // namespace

TEST(AccountPicker, ThreePeopleInAPrivatePasswdOneReceivesOwningItsFilesANetworkHomeRefused)
{
    if (qEnvironmentVariableIsSet(kInside)) {
        pickAndReceive(qEnvironmentVariable(kInside));
        return;
    }
    if (effectiveUid() != 0)
        GTEST_SKIP() << "binding a passwd over /etc/passwd in a private mount namespace needs root";
    if (QStandardPaths::findExecutable(u"unshare"_s).isEmpty() || !run(u"unshare"_s, {u"-m"_s, u"true"_s}))
        GTEST_SKIP() << "no private mount namespaces here (unshare -m)";

    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    for (const auto& [name, uid] : {std::pair{"ann", 61001}, {"bob", 61002}, {"cy", 61003}}) {
        const QString home = work.filePath(u"home/"_s + QLatin1String(name));
        ASSERT_TRUE(QDir().mkpath(home));
        ASSERT_TRUE(run(u"chown"_s, {u"%1:%1"_s.arg(uid), home}));
    }
    // The passwd lies in an overlay over all of /etc: a file bound over /etc/passwd itself is
    // unmounted by the kernel the moment a parallel test's useradd renames a new passwd into place.
    ASSERT_TRUE(QDir().mkpath(work.filePath(u"etc-work"_s)));
    writeBytes(work.filePath(u"etc-upper/passwd"_s), passwdText(work.path()).toUtf8());
    writeBytes(work.filePath(u"login.defs"_s), "UID_MIN 61000\nUID_MAX 61999\n");

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QLatin1String(kInside), work.path());
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    const QString filter = u"--gtest_filter="_s + QString::fromUtf8(testing::UnitTest::GetInstance()->current_test_info()->test_suite_name())
        + u"."_s + QString::fromUtf8(testing::UnitTest::GetInstance()->current_test_info()->name());
    child.start(u"unshare"_s, {u"-m"_s, u"--propagation"_s, u"private"_s, u"sh"_s, u"-c"_s,
                               u"{ mount -t overlay overlay -o \"lowerdir=/etc,upperdir=$1/etc-upper,workdir=$1/etc-work\" /etc "
                               u"|| mount --bind \"$1/etc-upper/passwd\" /etc/passwd; } && exec \"$2\" \"$3\""_s,
                               u"sh"_s, work.path(), QCoreApplication::applicationFilePath(), filter});
    ASSERT_TRUE(child.waitForFinished(300000));
    const QByteArray output = child.readAll();
    EXPECT_EQ(child.exitCode(), 0) << output.constData();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.constData();
}
