// SPDX-License-Identifier: Apache-2.0
#include "platform/DestinationWriter.h"
#include "support/FileBytes.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

void symlinkAt(const QString& target, const QString& path)
{
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()), 0);
}

} // namespace

// A further name is given only to a regular file reached without links, only
// where no link leads elsewhere, and replaces what is there only when asked.
TEST(HardLinkPlacement, ANameIsGivenOnlyToTheFileItselfAndOnlyWhereAsked)
{
    using Placement = DestinationWriter::HardLinkPlacement;
    struct Case {
        const char* name;
        std::function<void(const QString& home)> setUp;
        QString target, link;
        bool replace;
        std::optional<Placement> placed; // nullopt: refused
        bool linked;                     // the link's name is the target's file afterwards
    };
    const Case cases[] = {
        {"a new name", {}, u"/a"_s, u"/sub/b"_s, false, Placement::created, true},
        {"the name is that file already", [](const QString& h) {
             ASSERT_EQ(::link(QFile::encodeName(h + u"/a"_s).constData(), QFile::encodeName(h + u"/b"_s).constData()), 0);
         },
         u"/a"_s, u"/b"_s, false, Placement::alreadyThere, true},
        {"another file there is kept", [](const QString& h) { writeBytes(h + u"/b"_s, "theirs"); }, u"/a"_s, u"/b"_s,
         false, Placement::kept, false},
        {"another file there is replaced when asked", [](const QString& h) { writeBytes(h + u"/b"_s, "old copy"); },
         u"/a"_s, u"/b"_s, true, Placement::created, true},
        {"the target is a link", [](const QString& h) { symlinkAt(h + u"/a"_s, h + u"/alias"_s); }, u"/alias"_s,
         u"/b"_s, false, std::nullopt, false},
        {"the target's folder is a link out of the home",
         [](const QString& h) { symlinkAt(u"../elsewhere"_s, h + u"/out"_s); }, u"/out/secret"_s, u"/b"_s, false,
         std::nullopt, false},
        {"the link's folder is a link out of the home",
         [](const QString& h) { symlinkAt(u"../elsewhere"_s, h + u"/out"_s); }, u"/a"_s, u"/out/b"_s, false,
         std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString home = dir.filePath(u"home"_s);
        writeBytes(home + u"/a"_s, "ours");
        writeBytes(dir.filePath(u"elsewhere/secret"_s), "not ours");
        if (c.setUp)
            c.setUp(home);
        const QString scratch = home + c.link.left(c.link.lastIndexOf(u'/') + 1) + u".kivo-scratch"_s;
        DestinationWriter writer(home);
        std::optional<Placement> placed;
        try {
            placed = writer.placeHardLink(home + c.target, scratch, home + c.link, c.replace);
        } catch (const WriteFailure&) {
        }
        EXPECT_EQ(placed, c.placed);
        EXPECT_EQ(inodeOf(home + c.link) == inodeOf(home + u"/a"_s), c.linked);
        EXPECT_FALSE(QFile::exists(scratch)) << "no scratch name is left";
        EXPECT_FALSE(QFile::exists(dir.filePath(u"elsewhere/b"_s))) << "nothing is linked outside the home";
    }
}
