// SPDX-License-Identifier: Apache-2.0
#include "preflight/AppCompatibilityManager.h"
#include "preflight/ExecutableArchitectures.h"
#include "../categories/TreeFixture.h"
#include "support/CoroTest.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>
#include <QtEndian>

using namespace kivo;
using namespace kivo::test;

namespace {

// A store that answers each bundle identifier its own way, and remembers who asked.
class FakeStore : public QObject {
public:
    explicit FakeStore(bool silent = false) : m_silent(silent)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection())
                connect(s, &QTcpSocket::readyRead, s, [this, s] { answer(s); });
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort())); }
    QStringList asked;

private:
    void answer(QTcpSocket* s)
    {
        const QByteArray request = s->readAll();
        const QUrl target(QString::fromLatin1(request.split(' ').value(1)));
        const QString id = QUrlQuery(target).queryItemValue(QStringLiteral("bundleId"));
        asked << id;
        EXPECT_EQ(target.path(), "/lookup");
        EXPECT_EQ(QUrlQuery(target).queryItemValue("entity"), "macSoftware");
        if (m_silent)
            return;
        if (id.endsWith("endless")) {
            s->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{\"results\":[");
            auto* t = new QTimer(s);
            connect(t, &QTimer::timeout, s, [s] { s->write(QByteArray(64 * 1024, ' ')); });
            t->start(1);
            return;
        }
        QByteArray status = "200 OK", body;
        if (id.endsWith("good"))
            body = R"({"resultCount":1,"results":[{"trackViewUrl":"https://apps.example.com/app/good?mt=12"}]})";
        else if (id.endsWith("empty"))
            body = R"({"resultCount":0,"results":[]})";
        else if (id.endsWith("fail"))
            status = "500 Internal Server Error";
        else if (id.endsWith("garbage"))
            body = "<html>not json";
        else if (id.endsWith("script"))
            body = R"js({"results":[{"trackViewUrl":"javascript:alert(1)"}]})js";
        s->write("HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(body.size()) +
                 "\r\nConnection: close\r\n\r\n" + body);
        s->disconnectFromHost();
    }

    QTcpServer m_server;
    bool m_silent;
};

QByteArray be(quint32 v)
{
    QByteArray b(4, '\0');
    qToBigEndian(v, b.data());
    return b;
}
QByteArray le(quint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

} // namespace

class AppCompatibilityTest : public TreeFixture {
protected:
    void SetUp() override
    {
        TreeFixture::SetUp();
        for (const char* name : {"org.example.good", "org.example.empty", "org.example.fail", "org.example.garbage",
                                 "org.example.endless", "org.example.script", "org.example.installed", "Plain",
                                 "CrashReporter", "com.apple.Safari"})
            makeFile(QStringLiteral("Library/Application Support/%1/data").arg(name), 100);
        makeFile("Library/Preferences/org.example.good.plist", 5);
        makeFile("Library/Preferences/com.apple.dock.plist", 5);
        makeFile("Library/Preferences/net.videolan.vlc.plist", 5);
        const QString bundle = "Applications/Installed.app/Contents/";
        writeBytes(at(bundle + "Info.plist"),
                   R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
                      <key>CFBundleIdentifier</key><string>org.example.installed</string>
                      <key>CFBundleExecutable</key><string>Installed</string></dict></plist>)");
        // Universal: x86_64 and arm64.
        writeBytes(at(bundle + "MacOS/Installed"), be(0xcafebabe) + be(2) + be(0x01000007) + QByteArray(16, '\0') +
                                                       be(0x0100000c) + QByteArray(16, '\0'));
    }
    std::unique_ptr<AppCompatibilityManager> manager(const FakeStore& store, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        StoreSettings settings;
        settings.baseUrl = store.url();
        settings.timeout = timeout;
        return std::make_unique<AppCompatibilityManager>(home(), ApplicationFolders{{at("Applications")}, {}}, settings);
    }
};

TEST(ExecutableArchitectures, MachOAndElfHeaders)
{
    const QByteArray elf64 = QByteArray("\x7f" "ELF\x02\x01\x01", 7) + QByteArray(11, '\0');
    struct Case {
        const char* what;
        QByteArray header;
        QStringList expected;
    };
    const Case cases[] = {
        {"thin arm64, little-endian", le(0xfeedfacf) + le(0x0100000c) + QByteArray(8, '\0'), {"arm64"}},
        {"fat, two slices", be(0xcafebabe) + be(2) + be(0x01000007) + QByteArray(16, '\0') + be(7) + QByteArray(16, '\0'),
         {"x86_64", "i386"}},
        {"fat 64", be(0xcafebabf) + be(1) + be(0x0100000c) + QByteArray(28, '\0'), {"arm64"}},
        {"a Java class shares the fat magic", be(0xcafebabe) + be(0x00000034), {}},
        {"ELF x86_64", elf64 + QByteArray("\x3e\x00", 2), {"x86_64"}},
        {"truncated", be(0xcafebabe), {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(architecturesOfHeader(c.header), c.expected) << c.what;
}

TEST_F(AppCompatibilityTest, MissingAppsGetAStorePageOnlyFromASaneAnswer)
{
    FakeStore store;
    auto apps = manager(store);
    runTask(apps->scan());

    QMap<QString, AppCompatibilityEntry> byId;
    for (const AppCompatibilityEntry& e : apps->entries())
        byId.insert(e.identity(), e);
    EXPECT_EQ(byId.keys(), QStringList({"Plain", "net.videolan.vlc", "org.example.empty", "org.example.endless",
                                        "org.example.fail", "org.example.garbage", "org.example.good",
                                        "org.example.installed", "org.example.script"}));
    EXPECT_EQ(byId["org.example.good"].storeURL, QUrl("https://apps.example.com/app/good?mt=12"));
    EXPECT_EQ(byId["org.example.good"].dataSize, onDiskAt("Library/Application Support/org.example.good/data") + 5);
    for (const char* none : {"org.example.empty", "org.example.fail", "org.example.garbage", "org.example.endless",
                             "org.example.script", "Plain"})
        EXPECT_EQ(byId[none].storeURL, std::nullopt) << none;
    EXPECT_EQ(byId["org.example.installed"].status, AppCompatibilityEntry::Status::installed);
    EXPECT_EQ(apps->entries().last().identity(), "org.example.installed") << "missing ones come first";
    // Installed bundles and names without a dot are never asked about.
    EXPECT_FALSE(store.asked.contains("org.example.installed"));
    EXPECT_EQ(store.asked.size(), 7);
    ASSERT_EQ(apps->installedApps().size(), 1);
    EXPECT_EQ(apps->installedApps().first().architectures, QStringList({"x86_64", "arm64"}));
}

TEST_F(AppCompatibilityTest, ASilentStoreIsAskedOnceAndOfflineNotAtAll)
{
    FakeStore silent(/*silent=*/true);
    auto apps = manager(silent, std::chrono::milliseconds(300));
    runTask(apps->scan());
    EXPECT_EQ(silent.asked.size(), 1) << "after a transport failure nobody else is asked";
    EXPECT_EQ(apps->storeReachable(), false);

    FakeStore unused;
    auto offline = manager(unused);
    offline->setStore(StoreSettings::resolve(std::nullopt, /*offline=*/true));
    runTask(offline->scan());
    EXPECT_TRUE(unused.asked.isEmpty());
    EXPECT_EQ(offline->storeReachable(), std::nullopt);
    EXPECT_EQ(offline->missingApps().size(), 8);
}
