// SPDX-License-Identifier: Apache-2.0
#include "platform/FileSystem.h"
#include "support/CoroTest.h"
#include "support/LoopbackPair.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/ResumeState.h"
#include "transfer/SourceTransfer.h"
#include "transfer/TransferSupport.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

using namespace kivo;
using namespace Qt::StringLiterals;
using namespace kivo::test;

namespace {

// A source and a destination engine talking over a real socket on 127.0.0.1.
struct EnginePair {
    EnginePair(const QString& sourceFolder, const QString& destinationHome)
        : pair(makeLoopbackPair(TransferSession::Security::plain)),
          source(pair.client.get(), u"pair-1"_s, sourceFolder),
          destination(pair.accepted.get(), u"unknown-yet"_s, destinationHome)
    {
    }
    void run()
    {
        runTask([](EnginePair* self) -> QCoro::Task<void> {
            auto receiving = self->destination.run();
            co_await self->source.run();
            co_await std::move(receiving);
        }(this));
    }

    LoopbackPair pair;
    SourceTransfer source;
    DestinationTransfer destination;
};

// The files written beneath `folder` and listed as userFiles.
TransferManifest manifestOf(const QString& folder, const QStringList& names, const QList<QByteArray>& contents)
{
    TransferManifest m = manifestFor(u"pair-1"_s);
    QDir().mkpath(folder);
    for (qsizetype i = 0; i < names.size(); ++i) {
        writeBytes(folder + u'/' + names[i], contents[i]);
        add(m, fileItem(u"~/"_s + names[i], folder + u'/' + names[i], contents[i].size()));
    }
    return m;
}

} // namespace

TEST(SmallVolume, RunningOutOfSpaceEndsTheTransferAndKeepsFinishedFilesAndTheCheckpoint)
{
    QTemporaryDir dir;
    const QString mountPoint = dir.filePath(u"volume"_s);
    QDir().mkpath(mountPoint);
    if (::geteuid() != 0 || ::mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, "size=8m") != 0)
        KIVO_SKIP_OR_FAIL("mounting a small tmpfs needs root");
    const auto unmount = qScopeGuard([&] { ::umount2(QFile::encodeName(mountPoint).constData(), MNT_DETACH); });
    const QString from = dir.filePath(u"from"_s);
    EnginePair engines(from, mountPoint);
    engines.source.setManifest(manifestOf(
        from, {u"first.bin"_s, u"second.bin"_s, u"third.bin"_s},
        {patterned(1048576 + 3, 1), patterned(2 * 1048576, 2), patterned(1048576, 3)}));
    // Once the first file is in, something else fills the volume.
    bool filled = false;
    QObject::connect(engines.destination.progress(), &TransferProgress::changed, [&] {
        if (filled || engines.destination.progress()->filesCompleted() != 1)
            return;
        filled = true;
        writeBytes(mountPoint + u"/filler"_s, QByteArray(qsizetype(fs::freeBytesAt(mountPoint) - 300000), 'f'));
    });
    engines.run();

    ASSERT_TRUE(filled);
    ASSERT_TRUE(engines.source.progress()->error());
    EXPECT_TRUE(engines.source.progress()->error()->startsWith(u"Not enough disk space. Need "_s))
        << engines.source.progress()->error()->toStdString();
    EXPECT_FALSE(engines.source.progress()->isComplete());
    EXPECT_FALSE(engines.source.progress()->isTransferring());
    ASSERT_TRUE(engines.destination.progress()->error());
    EXPECT_TRUE(engines.destination.progress()->error()->startsWith(u"Not enough disk space."_s));
    EXPECT_EQ(readBytes(mountPoint + u"/first.bin"_s), patterned(1048576 + 3, 1));
    const auto checkpoint = ResumeState::load(TransferEngine::transfersDirectory(mountPoint), u"pair-1"_s);
    ASSERT_TRUE(checkpoint);
    EXPECT_EQ(checkpoint->completedFiles(), QStringList{u"~/first.bin"_s});
    EXPECT_TRUE(engines.source.progress()->verificationMismatches().isEmpty());
}
