// Hosts on one machine (scripts/testnet), each with its own DNS-SD daemon,
// joined by a link whose ends are named like Thunderbolt bridges: what our
// browser makes of services an independent publisher announces.
#include "support/CoroTest.h"
#include "support/TestNet.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace kivo::test;

namespace {

const QString kTestnet = QStringLiteral(KIVO_TESTNET_DIR);

QString probe() { return QStringLiteral(KIVO_CONN_PROBE); }

// A command running inside one host, its stdout collected line by line.
class InHost {
public:
    InHost(const QString& host, const QString& program, const QStringList& args) : m_endsWithInput(program == probe())
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            m_buffer += m_process.readAllStandardOutput();
            for (qsizetype nl; (nl = m_buffer.indexOf('\n')) >= 0;) {
                m_lines << QString::fromUtf8(m_buffer.left(nl));
                m_buffer.remove(0, nl + 1);
            }
        });
        m_process.start(kTestnet + QStringLiteral("/exec"), QStringList{host, program} + args);
        m_process.waitForStarted();
    }
    ~InHost() { stop(); }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        // Probes end when their input closes; other tools are asked to stop.
        m_process.closeWriteChannel();
        if (!m_endsWithInput)
            m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    // The first line from line `from` on that matches `pattern`, waiting for it
    // if needed; empty on timeout.
    QString waitFor(const QString& pattern, qsizetype from = 0)
    {
        const QRegularExpression re(pattern);
        QString found;
        waitUntil([&] {
            for (qsizetype i = from; i < m_lines.size(); ++i)
                if (const QString& l = m_lines[i]; re.match(l).hasMatch()) {
                    found = l;
                    return true;
                }
            return false;
        });
        return found;
    }
    qsizetype lineCount() const { return m_lines.size(); }
    QString transcript() const { return m_lines.join(u'\n'); }

private:
    bool m_endsWithInput;
    QProcess m_process;
    QByteArray m_buffer;
    QStringList m_lines;
};


QString uniqueHost(const char* stem)
{
    return QStringLiteral("%1-%2").arg(QLatin1String(stem)).arg(QRandomGenerator::global()->bounded(100000, 999999));
}

} // namespace

// Both ends see the bridge link as Thunderbolt; b's browser lists what an
// independent publisher in a announces. Names without a user or code and the
// secure marker are BrowseResult's tables; our own record over avahi is CliTwoHost's.
TEST(TwoHosts, OurBrowserSeesTheBridgeAndListsAServicePublishedByAvahiPublish)
{
    if (const std::string missing = testNetMissing(kTestnet + QStringLiteral("/exec")); !missing.empty())
        KIVO_SKIP_OR_FAIL(missing);
    const QString host = uniqueHost("published");
    InHost publisher(QStringLiteral("a"), QStringLiteral("avahi-publish"),
                     {QStringLiteral("-s"), host + QStringLiteral("|bob|654321"), QStringLiteral("_kivo._tcp"), QStringLiteral("5555")});
    InHost other(QStringLiteral("a"), probe(), {QStringLiteral("browse")});
    InHost browser(QStringLiteral("b"), probe(), {QStringLiteral("browse")});
    EXPECT_FALSE(other.waitFor(QStringLiteral("^thunderbolt bridge100 169\\.254\\.77\\.2$")).isEmpty()) << other.transcript().toStdString();
    EXPECT_FALSE(browser.waitFor(QStringLiteral("^thunderbolt bridge101 169\\.254\\.77\\.1$")).isEmpty())
        << browser.transcript().toStdString();
    EXPECT_FALSE(browser.waitFor(QStringLiteral("^state thunderboltDetected\\(169\\.254\\.77\\.1\\)$")).isEmpty());
    EXPECT_FALSE(browser.waitFor(QStringLiteral("^peer %1\\|bob\\|654321\\|thunderbolt\\|unverified$").arg(host)).isEmpty())
        << browser.transcript().toStdString();

    // Withdrawn services leave the list (the daemon reports each address family).
    const qsizetype mark = browser.lineCount();
    publisher.stop();
    EXPECT_FALSE(browser.waitFor(QStringLiteral("^peers 0$"), mark).isEmpty()) << browser.transcript().toStdString();
}
