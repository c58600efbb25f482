// SPDX-License-Identifier: Apache-2.0
#include "transfer/HardLinkGroups.h"
#include "transfer/HardLinkRequest.h"
#include "transfer/TransferSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

// Items named by the file they are ("a1", "a2": two names of file a; "x" alone).
QList<TransferManifest::FileItem> namesOf(const std::vector<std::string>& names, const QString& category = u"userFiles"_s)
{
    QList<TransferManifest::FileItem> items;
    for (const std::string& n : names) {
        auto item = fileItem(u"~/"_s + QString::fromStdString(n), u"/src/"_s + QString::fromStdString(n), 10, category);
        item.multiplyLinked = n.size() > 1;
        items.append(item);
    }
    return items;
}

HardLinkGroups::Identify byFirstLetter()
{
    return [](const TransferManifest::FileItem& item) -> std::optional<HardLinkGroups::Identity> {
        return HardLinkGroups::Identity{1, std::uint64_t(item.relativePath.at(2).unicode())};
    };
}

std::vector<std::uint32_t> groupNumbers(const QList<TransferManifest::FileItem>& items)
{
    std::vector<std::uint32_t> out;
    for (const auto& item : items)
        out.push_back(item.linkGroup);
    return out;
}

} // namespace

// Names of one file in one category share a number, in manifest order; a file
// with a single name in the manifest, names in two categories, or names whose
// size or time differ (the file changed while it was listed) share nothing.
TEST(HardLinkGroups, NamesOfOneFileInOneCategoryShareANumberAndNothingElseDoes)
{
    auto items = namesOf({"b1", "a1", "x", "b2", "a2", "c1", "a3"});
    items += namesOf({"b3", "d1"}, u"applicationData"_s);
    items += namesOf({"e1", "e2", "f1", "f2"});
    items[10].size = 11;                                                       // e2 grew
    items[12].sourceModified = QDateTime::fromSecsSinceEpoch(5, Qt::UTC);    // f2 touched
    HardLinkGroups groups = HardLinkGroups::find(items, byFirstLetter());
    groups.applyTo(items);
    EXPECT_EQ(groupNumbers(items), (std::vector<std::uint32_t>{1, 2, 0, 1, 2, 0, 2, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(groups.groupCount(), 2);

    // Only items listed with several names are looked at.
    int asked = 0;
    auto once = namesOf({"a1", "a2"});
    once[1].multiplyLinked = false;
    HardLinkGroups::find(once, [&](const auto& item) { ++asked; return byFirstLetter()(item); });
    EXPECT_EQ(asked, 1);
}

// Each case is one group's story: the names in manifest order, what the
// checkpoint said, then events; after each event, what every name would be
// sent as now ("-": bytes, "0".."9": a link to that name).
TEST(HardLinkGroups, PlanningFollowsWhatTheDestinationHoldsThroughFailuresRefusalsAndResumes)
{
    struct Step {
        std::string event; // "sent 0", "lost 0", "refused 1", "stale 0" (sent, but no longer the file)
        std::string plan;
    };
    struct Case {
        const char* name;
        bool links;
        std::string checkpoint; // per name: 'd' done, 'p' partly received, '.' nothing
        std::string initialPlan;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"fresh group", true, "...", "---", {{"sent 0", "-00"}}},
        {"peer takes no links", false, "...", "---", {{"sent 0", "---"}}},
        {"the first name fails: the next one sent serves", true, "...", "---",
         {{"sent 0", "-00"}, {"lost 0", "---"}, {"sent 1", "1-1"}}},
        {"a name changed while read serves no one", true, "...", "---", {{"stale 0", "---"}, {"sent 1", "1-1"}}},
        {"a refused link is sent as bytes and then serves", true, "...", "---",
         {{"sent 0", "-00"}, {"refused 1", "---"}, {"sent 1", "1-1"}}},
        {"killed after the first name", true, "d..", "-00", {}},
        {"killed after a later name: earlier names link to it", true, ".d.", "1-1", {}},
        {"killed mid-bytes of the second name: they continue", true, "dp.", "--0", {}},
        {"killed mid-bytes of the first name: later names wait for it", true, "p..", "---", {{"sent 0", "-00"}}},
        {"everything done before", true, "ddd", "-00", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const qsizetype n = qsizetype(c.checkpoint.size());
        std::vector<std::string> names;
        for (qsizetype i = 0; i < n; ++i)
            names.push_back(std::string{'a', char('0' + i)});
        HardLinkGroups groups = HardLinkGroups::find(namesOf(names), byFirstLetter());
        groups.setLinksAllowed(c.links);
        for (qsizetype i = 0; i < n; ++i) {
            if (c.checkpoint[size_t(i)] == 'd')
                groups.noteDone(i);
            else if (c.checkpoint[size_t(i)] == 'p')
                groups.noteInProgress(i);
        }
        auto plan = [&] {
            std::string out;
            for (qsizetype i = 0; i < n; ++i) {
                const qsizetype target = groups.linkTargetFor(i);
                out += target < 0 ? '-' : char('0' + target);
            }
            return out;
        };
        EXPECT_EQ(plan(), c.initialPlan);
        for (const Step& s : c.steps) {
            const qsizetype item = s.event.back() - '0';
            if (s.event.starts_with("sent"))
                groups.noteSent(item, true);
            else if (s.event.starts_with("stale"))
                groups.noteSent(item, false);
            else if (s.event.starts_with("lost"))
                groups.noteLost(item);
            else
                groups.noteRefused(item);
            EXPECT_EQ(plan(), s.plan) << "after " << s.event;
        }
    }
}

// Everything a source claims about a link is checked against what this side
// knows; each hostile variant is refused with its own reason.
TEST(HardLinkRequest, ALinkIsMadeOnlyToAnotherNameOfTheSameFileThatThisTransferWrote)
{
    auto items = namesOf({"a1", "a2", "b1"});
    items[0].linkGroup = items[1].linkGroup = 1;
    items[2].linkGroup = 2;
    auto otherCategory = items[0];
    otherCategory.categoryID = u"applicationData"_s;
    auto otherSize = items[0];
    otherSize.size = 99;
    auto noGroup = items[0];
    noGroup.linkGroup = 0;
    const Sha256Digest held = *Sha256Digest::fromHex(QString(64, u'a'));
    const QString heldHex = held.toHex();
    using State = HardLinkRequest::TargetState;

    struct Case {
        const char* name;
        const TransferManifest::FileItem* target;
        std::optional<PathRefusal> targetPath;
        State state;
        std::optional<QString> announced;
        std::optional<QString> refusal;
    };
    const Case cases[] = {
        {"a written name of the same file", &items[0], {}, State::ours, heldHex, {}},
        {"no hash from the source (resumed target)", &items[0], {}, State::ours, {}, {}},
        {"no such item", nullptr, {}, State::ours, heldHex, u"Link target is not a file of this transfer"_s},
        {"itself", &items[1], {}, State::ours, heldHex, u"Link target is the file itself"_s},
        {"outside the home", &items[0], PathRefusal::outsideHome, State::ours, heldHex,
         u"Link target refused: "_s + toString(PathRefusal::outsideHome)},
        {"another file", &items[2], {}, State::ours, heldHex, u"Link target is not another name of this file"_s},
        {"a name without group", &noGroup, {}, State::ours, heldHex, u"Link target is not another name of this file"_s},
        {"another category", &otherCategory, {}, State::ours, heldHex, u"Link target is not another name of this file"_s},
        {"another size", &otherSize, {}, State::ours, heldHex, u"Link target differs in size or time"_s},
        {"not received yet", &items[0], {}, State::notReceived, heldHex, u"Link target not received"_s},
        {"kept by the conflict policy", &items[0], {}, State::notOurs, heldHex,
         u"Link target was not written by this transfer"_s},
        {"other content", &items[0], {}, State::ours, QString(64, u'b'), u"Link target holds other content"_s},
        {"a malformed hash", &items[0], {}, State::ours, u"AA"_s, u"Link target holds other content"_s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HardLinkRequest r;
        r.link = &items[1];
        r.target = c.target;
        r.targetIsLink = c.target == &items[1];
        r.targetPathRefusal = c.targetPath;
        r.targetState = c.state;
        r.targetHash = c.state == State::ours ? std::optional(held) : std::nullopt;
        r.announcedHash = c.announced;
        EXPECT_EQ(r.refusal(), c.refusal);
    }
}
