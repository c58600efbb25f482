// SPDX-License-Identifier: Apache-2.0
#include "transfer/DestinationFixture.h"

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

// The decisions themselves are ConflictResolver's table; here, that the destination
// applies the policy the source's user chose (or its own without one), acknowledges
// the chunks of a file it keeps, and never counts the user's file as one it wrote.
TEST(ManifestPolicy, DestinationAppliesThePolicyTheManifestCarries)
{
    struct Case {
        const char* what;
        std::optional<ConflictPolicy> sent;
        ConflictPolicy local;
        bool replaced;
    };
    const QList<Case> cases{
        {"an older source says nothing", std::nullopt, ConflictPolicy::skip, false},
        {"the source asks to overwrite", ConflictPolicy::overwrite, ConflictPolicy::skip, true},
        {"the source asks to skip", ConflictPolicy::skip, ConflictPolicy::overwrite, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        struct Run : DestinationFixture {
            void TestBody() override {}
        } run;
        writeBytes(run.home() + u"/a.txt"_s, "already here");
        run.addItem(u"~/a.txt"_s, patterned(1048576 + 10, 1));
        run.manifest.conflictPolicy = c.sent;
        run.pushManifest();
        run.pushCategory(u"userFiles"_s);
        run.engine().setConflictPolicy(c.local);
        run.receive();

        EXPECT_EQ(run.engine().conflictPolicy(), c.sent.value_or(c.local));
        EXPECT_EQ(readBytes(run.home() + u"/a.txt"_s), c.replaced ? run.contents[0] : QByteArray("already here"));
        ASSERT_EQ(run.progress()->conflictsResolved().size(), 1);
        EXPECT_EQ(run.progress()->conflictsResolved()[0].resolution, c.replaced ? u"overwritten"_s : u"skipped"_s);
        EXPECT_TRUE(run.peer.sentOfType(MessageType::chunkNack).isEmpty());
        EXPECT_EQ(run.engine().manifest()->items[0].transferStatus,
                  c.replaced ? FileTransferStatus::completed : FileTransferStatus::skipped);
        EXPECT_EQ(run.engine().writtenPaths().size(), c.replaced ? 1 : 0) << "cancel removes only what was written";
    }
}
