#include "support/CoroTest.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/TransferSupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

// The fields of our own are left out when there is nothing to say, so older
// peers read the manifest as before; a policy nobody knows is refused.
TEST(ManifestPolicy, OwnFieldsRoundTripAndAreOmittedWhenAbsent)
{
    TransferManifest plain = manifestFor(u"T-1"_s);
    add(plain, fileItem(u"~/a"_s, u"/home/ann/a"_s, 3));
    const QJsonObject plainJson = plain.toJson();
    EXPECT_FALSE(plainJson.contains(u"conflictPolicy"_s));
    EXPECT_FALSE(plainJson.contains(u"skippedFolders"_s));
    EXPECT_EQ(TransferManifest::decode(plain.encoded()), plain);

    TransferManifest full = plain;
    full.conflictPolicy = ConflictPolicy::keepNewer;
    full.skippedFolders = {{u"~/Documents/locked"_s, u"userFiles"_s, u"Permission denied"_s}};
    EXPECT_EQ(full.toJson().value(u"conflictPolicy"_s).toString(), u"keepNewer"_s);
    EXPECT_EQ(TransferManifest::decode(full.encoded()), full);

    QJsonObject unknown = plainJson;
    unknown.insert(u"conflictPolicy"_s, u"shred"_s);
    EXPECT_THROW(TransferManifest::fromJson(unknown), DecodingError);
    QJsonObject badFolder = plainJson;
    badFolder.insert(u"skippedFolders"_s, QJsonArray{QJsonObject{{u"relativePath"_s, u"~/x"_s}}});
    EXPECT_THROW(TransferManifest::fromJson(badFolder), DecodingError);
}

// The destination applies the policy the source's user chose; without one it keeps its own.
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
        QTemporaryDir dir;
        const QString home = dir.filePath(u"home"_s);
        QDir().mkpath(home);
        writeBytes(home + u"/a.txt"_s, "already here");
        const QByteArray incoming = patterned(3000, 1);

        TransferManifest manifest = manifestFor(u"T-1"_s);
        add(manifest, fileItem(u"~/a.txt"_s, u"/Users/old/a.txt"_s, incoming.size()));
        manifest.conflictPolicy = c.sent;
        ScriptedConnection peer;
        MessageHeader m = header(MessageType::manifest);
        m.manifestData = manifest.encoded();
        peer.push(m);
        peer.push(header(MessageType::categoryStart, u"userFiles"_s));
        MessageHeader chunk = header(MessageType::chunkData, u"~/a.txt"_s, 0);
        chunk.chunkHash = FileHasher::sha256Hex(incoming);
        peer.push(chunk, incoming);
        MessageHeader done = header(MessageType::fileComplete, u"~/a.txt"_s);
        done.chunkHash = FileHasher::sha256Hex(incoming);
        peer.push(done);
        peer.push(header(MessageType::categoryComplete, u"userFiles"_s));
        peer.push(header(MessageType::transferComplete));

        DestinationTransfer engine(&peer, u"ignored"_s, home);
        engine.setConflictPolicy(c.local);
        runTask(engine.run());

        EXPECT_EQ(engine.conflictPolicy(), c.sent.value_or(c.local));
        EXPECT_EQ(readBytes(home + u"/a.txt"_s), c.replaced ? incoming : QByteArray("already here"));
        ASSERT_EQ(engine.progress()->conflictsResolved().size(), 1);
        EXPECT_EQ(engine.progress()->conflictsResolved()[0].resolution, c.replaced ? u"overwritten"_s : u"skipped"_s);
    }
}
