#include "cli/CliOptions.h"
#include "cli/Commands.h"

#include <gtest/gtest.h>

using namespace kivo::cli;
using namespace Qt::Literals::StringLiterals;

namespace {

QString usageError(const std::function<void()>& f)
{
    try {
        f();
    } catch (const UsageError& e) {
        return QString::fromUtf8(e.what());
    }
    return QStringLiteral("<accepted>");
}

} // namespace

TEST(CliOptions, SendParsesEveryFlag)
{
    const SendOptions o = parseSend({"--home", "/tmp/h/../home", "--categories", "userFiles, browserData",
                                     "--folders", "Documents,Pictures", "--hostname", "old-box", "--username", "ann",
                                     "--port", "4711", "--conflict-policy", "keepNewer", "--max-mbps", "50",
                                     "--allow-unverified-pairing", "--json"});
    EXPECT_EQ(std::tuple(o.home, o.categories, o.folders, o.hostname, o.username, o.port, o.conflictPolicy, o.maxMbps),
              std::tuple(QString("/tmp/home"), QStringList{"userFiles", "browserData"}, QStringList{"Documents", "Pictures"},
                         QString("old-box"), QString("ann"), 4711, QString("keepNewer"), 50));
    EXPECT_TRUE(o.allowUnverifiedPairing && o.json);
    EXPECT_FALSE(parseSend({}).allowUnverifiedPairing);
}

TEST(CliOptions, ReceiveParsesConnectAndCode)
{
    const ReceiveOptions o = parseReceive({"--connect", "[::1]:9000", "--code", "012345", "--timeout", "5"});
    EXPECT_EQ(std::tuple(o.connectHost, o.connectPort, o.code, o.timeoutSeconds),
              std::tuple(QString("::1"), 9000, QString("012345"), 5));
    EXPECT_EQ(parseReceive({"--connect", "127.0.0.1:1"}).connectHost, "127.0.0.1");
    EXPECT_FALSE(o.allowUnverifiedPairing);
    EXPECT_TRUE(parseReceive({"--allow-unverified-pairing"}).allowUnverifiedPairing);
}

TEST(CliOptions, BadUsageIsRefusedWithAClearMessage)
{
    EXPECT_EQ(usageError([] { parseSend({"--colour"}); }), "unknown option \"--colour\"");
    EXPECT_EQ(usageError([] { parseSend({"--port"}); }), "--port needs a value");
    EXPECT_EQ(usageError([] { parseSend({"--port", "0"}); }), "--port takes a whole number from 1 to 65535, not \"0\"");
    EXPECT_EQ(usageError([] { parseSend({"--conflict-policy", "newest"}); }),
              "--conflict-policy takes skip, overwrite, keepNewer or ask, not \"newest\"");
    EXPECT_EQ(usageError([] { parseSend({"--categories", " , "}); }), "--categories needs at least one name");
    EXPECT_EQ(usageError([] { parseSend({"--hostname", "a|b"}); }), "host and user names cannot contain \"|\"");
    EXPECT_EQ(usageError([] { parseReceive({"--code", "12345a"}); }),
              "--code takes the six digits shown on the source, not \"12345a\"");
    EXPECT_EQ(usageError([] { parseReceive({"--connect", "host"}); }), "--connect takes HOST:PORT, not \"host\"");
    EXPECT_EQ(usageError([] { parseReceive({"--connect", "host:99999"}); }),
              "--connect takes a whole number from 1 to 65535, not \"99999\"");
    EXPECT_EQ(usageError([] { parseDemo({"stray"}); }), "unexpected argument \"stray\"");
}

TEST(CliExitCodes, EveryWayAFlowEndsHasItsDocumentedCode)
{
    using kivo::FlowExit;
    const std::pair<FlowExit, int> table[] = {
        {FlowExit::success, 0}, {FlowExit::transferFailed, 1}, {FlowExit::usage, 2},
        {FlowExit::pairingFailed, 3}, {FlowExit::noSource, 4}, {FlowExit::refused, 5},
        {FlowExit::unusableInput, 6}, {FlowExit::serviceUnavailable, 7},
    };
    for (const auto& [exit, code] : table)
        EXPECT_EQ(exitCodeFor(exit), code);
}
