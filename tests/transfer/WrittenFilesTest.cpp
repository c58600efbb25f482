// SPDX-License-Identifier: Apache-2.0
#include "transfer/WrittenFiles.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

TransferManifest::FileItem item(const QString& path, const QString& category, bool completed = true)
{
    TransferManifest::FileItem out;
    out.relativePath = path;
    out.categoryID = category;
    out.transferStatus = completed ? FileTransferStatus::completed : FileTransferStatus::pending;
    return out;
}

QStringList walked(const WrittenFiles& files, qsizetype step)
{
    QStringList out;
    qsizetype at = 0;
    for (QStringList more = files.next(&at, step); !more.isEmpty(); more = files.next(&at, step))
        out += more;
    return out;
}

} // namespace

// What a consumer of a category's or a transfer's written files is walked through.
TEST(WrittenFiles, ResolvesEachChosenItemAndLeavesOutRefusedPathsAndOtherCategories)
{
    const QList<TransferManifest::FileItem> items = {
        item(u"~/Documents/a.txt"_s, u"userFiles"_s),
        item(u"~/../outside/x"_s, u"userFiles"_s), // refused: never handed to anyone
        item(u"~/.config/app/rc"_s, u"applicationData"_s),
        item(u"~/Documents/pending.txt"_s, u"userFiles"_s, false),
        item(u"~/sys/var/db/MDM/evil.plist"_s, u"applicationData"_s), // protected
        item(u"~/.var/app/org.x/config"_s, u"applicationData"_s),
    };
    DestinationResolver resolver{u"/home/new"_s, std::nullopt, MDMSafetyChecker(u"/home/new/sys"_s), {}};
    DestinationResolver relocating = resolver;
    relocating.relocation = [](const QString& tilde, const QString& category) {
        return category == u"applicationData"_s && tilde.startsWith(u"~/.var/app/org.x/"_s)
                   ? u"~/snap/x/current/"_s + tilde.mid(17)
                   : tilde;
    };

    struct Case {
        const char* label;
        DestinationResolver resolver;
        std::optional<QList<qsizetype>> indices;
        QString category;
        QStringList extra;
        QStringList expected;
    };
    const QList<Case> cases = {
        {"completed items of every category", resolver, std::nullopt, {}, {},
         {u"/home/new/Documents/a.txt"_s, u"/home/new/.config/app/rc"_s, u"/home/new/.var/app/org.x/config"_s}},
        {"completed items of one category", resolver, std::nullopt, u"applicationData"_s, {},
         {u"/home/new/.config/app/rc"_s, u"/home/new/.var/app/org.x/config"_s}},
        {"relocation applied", relocating, std::nullopt, u"applicationData"_s, {},
         {u"/home/new/.config/app/rc"_s, u"/home/new/snap/x/current/config"_s}},
        {"given indices, whatever their status, other categories left out", resolver, QList<qsizetype>{3, 2, 0, 1},
         u"userFiles"_s, {}, {u"/home/new/Documents/pending.txt"_s, u"/home/new/Documents/a.txt"_s}},
        {"indices out of range give nothing", resolver, QList<qsizetype>{-1, 6, 0}, {}, {},
         {u"/home/new/Documents/a.txt"_s}},
        {"extra paths follow as they are", resolver, QList<qsizetype>{2}, {}, {u"/home/new/Music"_s},
         {u"/home/new/.config/app/rc"_s, u"/home/new/Music"_s}},
        {"nothing chosen", resolver, QList<qsizetype>{}, {}, {}, {}},
    };
    for (const Case& c : cases) {
        const WrittenFiles files(items, c.resolver, c.indices, c.category, c.extra);
        EXPECT_EQ(files.toList(), c.expected) << c.label;
        // A walk in steps gives the same paths, whatever the step.
        EXPECT_EQ(walked(files, 1), c.expected) << c.label;
        EXPECT_EQ(walked(files, 2), c.expected) << c.label;
    }
    EXPECT_EQ(WrittenFiles({u"/a"_s, u"/b"_s}).toList(), (QStringList{u"/a"_s, u"/b"_s}));
    EXPECT_TRUE(WrittenFiles().isEmpty());
}
