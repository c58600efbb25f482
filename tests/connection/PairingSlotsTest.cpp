// SPDX-License-Identifier: Apache-2.0
#include "connection/PairingSlots.h"

#include <gtest/gtest.h>

using namespace kivo;

namespace {
constexpr auto H = AttemptStage::handshaking;
constexpr auto A = AttemptStage::awaitingShare;
constexpr auto P = AttemptStage::proving;
} // namespace

TEST(PairingSlots, NewcomersDisplaceTheOldestSilentAttemptButNeverOneProvingACode)
{
    struct Case {
        const char* name;
        QList<AttemptStage> oldestFirst;
        PairingSlots::Decision expected;
    };
    const Case cases[] = {
        {"empty", {}, {true, std::nullopt}},
        {"room left", {P, A, H}, {true, std::nullopt}},
        {"full of silent ones: the oldest goes", {A, H, A, H}, {true, 0}},
        {"a handshake counts as silent", {P, H, A, P}, {true, 1}},
        {"skips the provers at the front", {P, P, A, A}, {true, 2}},
        {"only the last is silent", {P, P, P, H}, {true, 3}},
        {"every slot proving: refused", {P, P, P, P}, {false, std::nullopt}},
        {"over capacity still picks the oldest silent", {P, P, P, P, A}, {true, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PairingSlots::decide(c.oldestFirst), c.expected);
    }
    EXPECT_EQ(PairingSlots::decide({}, 0), PairingSlots::Decision{});
}
