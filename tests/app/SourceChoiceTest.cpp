// SPDX-License-Identifier: Apache-2.0
#include "app/ReceiveFlow.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

// The choice works on one snapshot of the list: a source that left between the
// first sighting and the choice is "none found", never an element of an empty list.
TEST(SourceChoice, OneSnapshotGivesOneSourceOrAReason)
{
    const auto peer = [](const QString& host) { return peerForAddress(host, 1, std::nullopt); };
    const QString none = u"No devices found running kivo on your network."_s;
    struct Case {
        const char* what;
        QList<DiscoveredPeer> peers;
        std::optional<QString> name;
        std::optional<QString> chosen; // host name, or none for a failure
        FlowFailure failure;
    };
    const QList<Case> cases{
        {"the only source", {peer(u"old-box"_s)}, std::nullopt, u"old-box"_s, {}},
        {"withdrawn meanwhile", {}, std::nullopt, std::nullopt, {FlowExit::noSource, none}},
        {"the named one withdrawn, another left", {peer(u"attic"_s)}, u"old-box"_s, std::nullopt, {FlowExit::noSource, none}},
        {"named among several, any case", {peer(u"attic"_s), peer(u"Old-Box"_s)}, u"old-box"_s, u"Old-Box"_s, {}},
        {"a name is matched whole, not as a prefix", {peer(u"Old-Box"_s)}, u"old"_s, std::nullopt, {FlowExit::noSource, none}},
        {"several and no name",
         {peer(u"attic"_s), peer(u"old-box"_s)},
         std::nullopt,
         std::nullopt,
         {FlowExit::usage, u"several sources found (attic, old-box); choose one with --source"_s}},
    };
    for (const Case& c : cases) {
        const auto result = ReceiveFlow::chooseSource(c.peers, c.name);
        if (c.chosen) {
            ASSERT_TRUE(std::holds_alternative<DiscoveredPeer>(result)) << c.what;
            EXPECT_EQ(std::get<DiscoveredPeer>(result).hostname, *c.chosen) << c.what;
        } else {
            ASSERT_TRUE(std::holds_alternative<FlowFailure>(result)) << c.what;
            EXPECT_EQ(std::get<FlowFailure>(result), c.failure) << c.what;
        }
    }
}
