#include "support/CoroTest.h"
#include "support/LoopbackPair.h"
#include "transfer/ResumeState.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/SourceTransfer.h"
#include "transfer/TransferSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace kivo;
using namespace Qt::StringLiterals;
using namespace kivo::test;

namespace {

// A source and a destination engine talking over a real socket on 127.0.0.1.
struct EnginePair {
    explicit EnginePair(const QString& sourceFolder, const QString& destinationHome,
                        TransferSession::Security security = TransferSession::Security::plain)
        : pair(makeLoopbackPair(security)),
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

TransferManifest manifestOf(const QString& folder, const QStringList& names, const QList<QByteArray>& contents)
{
    TransferManifest m;
    m.transferID = u"pair-1"_s;
    m.sourceHostname = u"old-mac"_s;
    m.createdAt = QDateTime::currentDateTimeUtc();
    m.categoryIDs = m.categoryOrder = {u"userFiles"_s};
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString path = folder + u'/' + names[i];
        QDir().mkpath(QFileInfo(path).path());
        writeBytes(path, contents[i]);
        TransferManifest::FileItem item;
        item.relativePath = u"~/"_s + names[i];
        item.absolutePath = path;
        item.size = std::uint64_t(contents[i].size());
        item.categoryID = u"userFiles"_s;
        m.items.append(item);
        m.totalSize += item.size;
    }
    return m;
}

} // namespace

TEST(TransferEngines, AFileChangedBeforeVerificationIsReportedAsAMismatch)
{
    QTemporaryDir dir;
    const QString from = dir.filePath(u"from"_s), to = dir.filePath(u"to"_s);
    QDir().mkpath(to);
    EnginePair engines(from, to, TransferSession::Security::tls);
    engines.source.setManifest(manifestOf(from, {u"keep.txt"_s, u"tampered.txt"_s},
                                          {patterned(1500000, 1), patterned(2000, 2)}));
    QObject::connect(&engines.destination, &TransferEngine::categoryCompleted, [&] {
        writeBytes(to + u"/tampered.txt"_s, "changed behind our back");
    });
    engines.run();

    EXPECT_TRUE(engines.source.progress()->isComplete());
    EXPECT_EQ(engines.source.progress()->verificationMismatches(), QStringList{u"~/tampered.txt"_s});
    EXPECT_EQ(engines.source.progress()->verificationFilesChecked(), 2);
    EXPECT_EQ(readBytes(to + u"/keep.txt"_s), patterned(1500000, 1));
    EXPECT_TRUE(engines.destination.progress()->isComplete());
}

class SmallVolume : public ::testing::Test {
protected:
    void SetUp() override
    {
        mountPoint = dir.filePath(u"volume"_s);
        QDir().mkpath(mountPoint);
        if (::geteuid() != 0
            || ::mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, "size=8m") != 0)
            KIVO_SKIP_OR_FAIL("mounting a small tmpfs needs root");
        mounted = true;
    }
    void TearDown() override
    {
        if (mounted)
            ::umount2(QFile::encodeName(mountPoint).constData(), MNT_DETACH);
    }
    std::uint64_t freeBytes() const
    {
        struct statvfs st {};
        ::statvfs(QFile::encodeName(mountPoint).constData(), &st);
        return std::uint64_t(st.f_bavail) * st.f_frsize;
    }

    QTemporaryDir dir;
    QString mountPoint;
    bool mounted = false;
};

TEST_F(SmallVolume, RunningOutOfSpaceEndsTheTransferAndKeepsFinishedFilesAndTheCheckpoint)
{
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
        writeBytes(mountPoint + u"/filler"_s, QByteArray(qsizetype(freeBytes() - 300000), 'f'));
    });
    engines.run();

    ASSERT_TRUE(filled);
    ASSERT_TRUE(engines.source.progress()->error());
    EXPECT_TRUE(engines.source.progress()->error()->startsWith(u"Not enough disk space. Need "_s))
        << engines.source.progress()->error()->toStdString();
    ASSERT_TRUE(engines.destination.progress()->error());
    EXPECT_TRUE(engines.destination.progress()->error()->startsWith(u"Not enough disk space."_s));
    EXPECT_EQ(readBytes(mountPoint + u"/first.bin"_s), patterned(1048576 + 3, 1));
    const auto checkpoint = ResumeState::load(TransferEngine::transfersDirectory(mountPoint), u"pair-1"_s);
    ASSERT_TRUE(checkpoint);
    EXPECT_EQ(checkpoint->completedFiles, QStringList{u"~/first.bin"_s});
    EXPECT_TRUE(engines.source.progress()->verificationMismatches().isEmpty());
}
