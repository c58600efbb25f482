// SPDX-License-Identifier: Apache-2.0
#include "categories/FileEnumeration.h"
#include "categories/TreeFixture.h"

#include <gmock/gmock.h>

#include <linux/capability.h>
#include <sys/syscall.h>

using namespace kivo;
using kivo::test::relativePaths;
using ::testing::UnorderedElementsAre;

namespace {

// Root reads every folder; for the length of a test this thread does not.
class WithoutReadOverride {
public:
    WithoutReadOverride()
    {
        ::syscall(SYS_capget, &m_header, m_saved);
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        ::syscall(SYS_capset, &m_header, reduced);
    }
    ~WithoutReadOverride() { ::syscall(SYS_capset, &m_header, m_saved); }

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
};

} // namespace

class UnreadableFolderTest : public kivo::test::TreeFixture {};

// A folder the walk cannot enter or examine is named with the system's reason,
// once; its readable siblings are listed as before.
TEST_F(UnreadableFolderTest, EachUnreadableFolderIsReportedWithItsReason)
{
    makeFile(QStringLiteral("Documents/kept.txt"), 3);
    makeFile(QStringLiteral("Documents/locked/inside.txt"), 3);
    makeFile(QStringLiteral("Documents/listable/a.txt"), 3);
    makeFile(QStringLiteral("Documents/listable/b.txt"), 3);
    makeFile(QStringLiteral("Documents/secret.txt"), 3, 0);
    makeFile(QStringLiteral("Music/song.mp3"), 3);
    ASSERT_EQ(::chmod(QFile::encodeName(at(QStringLiteral("Documents/locked"))).constData(), 0), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(at(QStringLiteral("Documents/listable"))).constData(), 0444), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(at(QStringLiteral("Music"))).constData(), 0), 0);

    QList<TransferManifest::FileItem> items;
    files::SkippedFolders skipped;
    {
        WithoutReadOverride reduced;
        files::appendCategoryItems(items, {QStringLiteral("~/Documents"), QStringLiteral("~/Music")},
                                   QStringLiteral("userFiles"), UserFolders(home()), &skipped);
    }
    for (const char* folder : {"Documents/locked", "Documents/listable", "Music"})
        ::chmod(QFile::encodeName(at(QString::fromLatin1(folder))).constData(), 0755);

    // An unreadable file is still listed: sending it reports it.
    EXPECT_THAT(relativePaths(items),
                UnorderedElementsAre(QStringLiteral("~/Documents/kept.txt"), QStringLiteral("~/Documents/secret.txt")));
    QStringList reported;
    for (const auto& folder : skipped)
        reported.append(folder.relativePath + QStringLiteral(" ") + folder.categoryID + QStringLiteral(": ") + folder.reason);
    EXPECT_THAT(reported, UnorderedElementsAre(QStringLiteral("~/Documents/locked userFiles: Permission denied"),
                                               QStringLiteral("~/Documents/listable userFiles: Permission denied"),
                                               QStringLiteral("~/Music userFiles: Permission denied")));
}
