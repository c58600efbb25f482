// SPDX-License-Identifier: Apache-2.0
#include "transfer/EnginePair.h"

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

// Many small files and a large one; one chunk of a small file deep in the window and one in
// the middle of the large file are spoiled once, and every send of one file is: those two end
// byte-identical after a resend, the third fails alone. With the small files in bundles (a
// spoiled one is sent again alone), with requests in flight file by file, and to a destination
// that announces nothing, as one built to the plain rules: then nothing is sent while a reply is due.
TEST(TransferWindow, ANackIsResentAndOnlyThreeRejectionsFailAFileWithOrWithoutAWindow)
{
    enum class Mode { bundles, window, oneAtATime };
    for (const Mode mode : {Mode::bundles, Mode::window, Mode::oneAtATime}) {
        SCOPED_TRACE(mode == Mode::bundles ? "bundles" : mode == Mode::window ? "window" : "one at a time");
        const bool announced = mode != Mode::oneAtATime;
        QTemporaryDir dir;
        SourceTree tree(dir.path(), u"window-1"_s);
        for (int i = 0; i < 300; ++i) {
            tree.add(u"d/f%1"_s.arg(i, 3, 10, QChar(u'0')), patterned((i * 97) % 5000, i));
            if (i == 200)
                tree.add(u"d/large.bin"_s, patterned(3 * 1048576 + 5, 7));
        }
        tree.add(u"doomed"_s, patterned(3000, 9));
        Engines engines(u"window-1"_s, tree.from, tree.to);
        if (!announced)
            engines.destination.setAnnouncedWindow(std::nullopt);
        if (mode != Mode::bundles)
            engines.destination.setAcceptedFileBundles(false);
        engines.source.setManifest(tree.manifest);
        engines.watched.spoil(u"~/d/f150"_s, 0, {0});
        engines.watched.spoil(u"~/d/large.bin"_s, 1, {0});
        engines.watched.spoil(u"~/doomed"_s, 0, {0, 1, 2});
        engines.run();

        EXPECT_EQ(engines.source.sendsFileBundles(), mode == Mode::bundles);
        if (mode == Mode::bundles) {
            // Two runs of small files, each a bundle, around the large file; then the spoiled ones again.
            EXPECT_EQ(engines.watched.count(MessageType::fileBundle), 2 + 1 + 2);
            // Only the large file completes on its own (again after its resent chunk).
            EXPECT_EQ(engines.watched.count(MessageType::fileComplete), 2);
            EXPECT_GT(engines.watched.mostOutstanding, 2) << "requests were kept in flight";
        } else if (announced) {
            EXPECT_GT(engines.watched.mostOutstanding, 10) << "requests were kept in flight";
        } else {
            EXPECT_EQ(engines.source.window(), (WindowLimits{1, 0}));
            EXPECT_EQ(engines.watched.mostOutstanding, 1);
            EXPECT_EQ(engines.watched.sendsWhileWaiting, 0);
        }
        EXPECT_EQ(engines.watched.misnumbered, 0);
        EXPECT_EQ(engines.watched.sendsOf(u"~/d/f150"_s, 0), 2);
        EXPECT_EQ(engines.watched.sendsOf(u"~/d/large.bin"_s, 1), 2);
        EXPECT_EQ(engines.watched.sendsOf(u"~/d/large.bin"_s, 2), 1) << "later chunks are not sent again";
        EXPECT_EQ(engines.watched.sendsOf(u"~/doomed"_s, 0), 3);

        const TransferProgress& source = *engines.source.progress();
        ASSERT_TRUE(source.isComplete()) << engines.sourceError().toStdString();
        EXPECT_EQ(errorsOf(source), QStringList{u"~/doomed: Max retries exceeded"_s});
        EXPECT_EQ(source.bytesTransferred(), tree.manifest.totalSize - 3000) << "each acknowledged chunk once";
        EXPECT_TRUE(source.verificationMismatches().isEmpty());
        EXPECT_TRUE(engines.destination.progress()->isComplete());
        tree.expectArrived(tree.to, {u"doomed"_s});
        EXPECT_TRUE(QDir(TransferEngine::transfersDirectory(tree.to)).entryList(QDir::Files).isEmpty())
            << "the checkpoint goes with the finished transfer";
    }
}
