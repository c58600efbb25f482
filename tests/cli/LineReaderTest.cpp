// SPDX-License-Identifier: Apache-2.0
#include "cli/LineReader.h"
#include "support/CoroTest.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <cstring>

#include <unistd.h>

using namespace kivo::cli;
using namespace kivo::test;

namespace {

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe(fds), 0); }
    ~Pipe()
    {
        closeWriter();
        ::close(fds[0]);
    }
    void write(const char* text) { EXPECT_EQ(::write(fds[1], text, strlen(text)), ssize_t(strlen(text))); }
    void closeWriter()
    {
        if (fds[1] >= 0)
            ::close(fds[1]);
        fds[1] = -1;
    }
};

} // namespace

// The code is typed while the event loop goes on: what the loop runs in the
// meantime (here, the typing itself) happens before the first line is read.
// Lines come one by one, trimmed, and the end of the input is said each time after.
TEST(LineReader, ReadsLineByLineWithoutHoldingTheEventLoopUntilTheInputEnds)
{
    Pipe pipe;
    LineReader reader(pipe.fds[0]);
    bool loopRan = false;
    QTimer::singleShot(0, [&] {
        loopRan = true;
        pipe.write(" 123456 \n\n222222\nlast without end");
        pipe.closeWriter();
    });
    const std::optional<QString> expected[] = {QStringLiteral("123456"), QString(), QStringLiteral("222222"),
                                               QStringLiteral("last without end"), std::nullopt, std::nullopt};
    for (const std::optional<QString>& line : expected)
        EXPECT_EQ(runTask(reader.readLine()), line);
    EXPECT_TRUE(loopRan);
}
