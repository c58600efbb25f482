// SPDX-License-Identifier: Apache-2.0
#include "transfer/DestinationFixture.h"
#include "transfer/PartialFolders.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

class PartialSweep : public DestinationFixture {
protected:
    QString partialOf(const QString& relativePath, const QString& transferID = u"T-1"_s) const
    {
        return DestinationTransfer::partialPathFor(at(relativePath), transferID, relativePath);
    }
    // The files of the checkpoint folder, whatever their name.
    QStringList checkpointFiles() const { return QDir(transfers()).entryList(QDir::Files | QDir::Hidden); }
    static void age(const QString& path, int days)
    {
        const struct timespec old[2] = {{std::time(nullptr) - days * 86400 - 60, 0}, {std::time(nullptr) - days * 86400 - 60, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), old, 0), 0);
    }
    // A receive that stops after the first chunk of a two-chunk file in a subfolder.
    void interruptMidFile()
    {
        addItem(u"~/docs/big.bin"_s, patterned(1048576 + 10, 4));
        pushManifest();
        pushCategory(u"userFiles"_s);
        peer.inbox.resize(3);
        receive();
        ASSERT_TRUE(QFile::exists(partialOf(u"~/docs/big.bin"_s)));
    }
};

} // namespace

// Discarding a transfer, or finishing it (the file begun earlier skipped now, or gone
// from the source and so from the manifest), takes its partial copies and every file of
// its checkpoint; another transfer's copy, a look-alike name and a link spelt like a copy stay.
TEST_F(PartialSweep, DiscardingOrFinishingRemovesOnlyTheTransfersOwnCopies)
{
    enum class End { discarded, finishedWithTheFileSkipped, finishedWithTheFileGone };
    for (const End end : {End::discarded, End::finishedWithTheFileSkipped, End::finishedWithTheFileGone}) {
        SCOPED_TRACE(int(end));
        const bool finish = end != End::discarded;
        reset();
        interruptMidFile();
        const QString another = partialOf(u"~/docs/big.bin"_s, u"T-2"_s);
        const QString lookalike = at(u"~/docs/.kivo-not-a-digest.partial"_s);
        const QString outside = dir.filePath(u"outside.txt"_s);
        for (const QString& path : {another, lookalike, outside})
            writeBytes(path, "theirs");
        const QString link = partialOf(u"~/docs/link"_s);
        ASSERT_TRUE(QFile::link(outside, link));

        if (finish) {
            restart();
            if (end == End::finishedWithTheFileGone) {
                manifest.items.clear();
                manifest.totalSize = 0;
            }
            pushManifest();
            peer.push(header(MessageType::categoryStart, u"userFiles"_s));
            if (end == End::finishedWithTheFileSkipped)
                peer.push(header(MessageType::fileSkip, u"~/docs/big.bin"_s));
            peer.push(header(MessageType::categoryComplete, u"userFiles"_s));
            pushEnd();
            receive();
            ASSERT_TRUE(progress()->isComplete());
        } else {
            PartialFolders::discard(home(), u"T-1"_s);
        }
        EXPECT_FALSE(QFile::exists(partialOf(u"~/docs/big.bin"_s)));
        for (const QString& kept : {another, lookalike, outside})
            EXPECT_EQ(readBytes(kept), QByteArray("theirs")) << kept.toStdString();
        EXPECT_TRUE(QFileInfo(link).isSymLink());
        EXPECT_TRUE(checkpointFiles().isEmpty()) << checkpointFiles().join(u' ').toStdString();
    }
}

// A transfer whose checkpoint is gone: its copies untouched for more than a day are
// swept when a receive starts; a recent one, one a live checkpoint names, and
// anything a forged list points to outside the home stay.
TEST_F(PartialSweep, ReceiveSweepsOldCopiesOfTransfersWhoseCheckpointIsGone)
{
    interruptMidFile(); // T-1 keeps its checkpoint and its copy
    const QString live = partialOf(u"~/docs/big.bin"_s);
    const QString old = partialOf(u"~/docs/old.bin"_s, u"T-9"_s);
    const QString recent = partialOf(u"~/docs/recent.bin"_s, u"T-9"_s);
    QDir().mkpath(dir.filePath(u"elsewhere"_s));
    const QString elsewhere = dir.filePath(u"elsewhere/"_s) + PartialFolders::partialName(u"T-9"_s, u"~/x"_s);
    for (const QString& path : {old, recent, elsewhere})
        writeBytes(path, "half");
    for (const QString& path : {live, old, elsewhere})
        age(path, 2);
    writeBytes(PartialFolders::listPath(transfers(), u"T-9"_s),
               (home() + u"/docs\n"_s + dir.filePath(u"elsewhere"_s) + u"\n"_s).toUtf8());

    PartialFolders::sweepOrphans(home(), QDateTime::currentDateTimeUtc().addDays(-1));
    EXPECT_FALSE(QFile::exists(old));
    EXPECT_TRUE(QFile::exists(recent));
    EXPECT_TRUE(QFile::exists(live));
    EXPECT_TRUE(QFile::exists(elsewhere));
    // Kept while a copy it leads to may still be swept later.
    EXPECT_TRUE(QFile::exists(PartialFolders::listPath(transfers(), u"T-9"_s)));

    // The resumed T-1 finishes, and nothing of it stays in the checkpoint folder.
    age(recent, 2);
    restart();
    pushManifest();
    pushRest();
    receive();
    ASSERT_TRUE(progress()->isComplete());
    EXPECT_EQ(readBytes(at(u"~/docs/big.bin"_s)), contents[0]);
    EXPECT_FALSE(QFile::exists(recent));
    EXPECT_TRUE(checkpointFiles().isEmpty()) << checkpointFiles().join(u' ').toStdString();
}
