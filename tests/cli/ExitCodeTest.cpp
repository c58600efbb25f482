// SPDX-License-Identifier: Apache-2.0
#include "cli/Commands.h"

#include <gtest/gtest.h>

using namespace kivo::cli;

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
