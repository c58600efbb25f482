// SPDX-License-Identifier: Apache-2.0
#include "app/DemoData.h"
#include "app/DemoLinuxHome.h"
#include "categories/LinuxSettingsRules.h"
#include "platform/CommandRunner.h"
#include "platform/Dconf.h"
#include "support/FileBytes.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <string>

using namespace kivo;

namespace {

struct Print {
    QByteArray sha;
    unsigned mode;
    qint64 size;
    qint64 modified;
    bool operator==(const Print&) const = default;
};

// Independent of the code under test: Qt's iterator, not our walker.
std::map<QString, Print> fingerprint(const QString& root)
{
    std::map<QString, Print> out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(&file);
        struct stat st;
        ::stat(QFile::encodeName(path).constData(), &st);
        out[path.mid(root.size() + 1)] = {hash.result(), unsigned(st.st_mode & 07777), qint64(st.st_size),
                                          qint64(st.st_mtime)};
    }
    return out;
}

} // namespace

class DemoDataTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QString path(const char* name) const { return m_dir.path() + QLatin1Char('/') + QString::fromUtf8(name); }
    QString root() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};

TEST_F(DemoDataTest, TheSampleHoldsTheCasesAMigrationMustGetRight)
{
    const QString home = path("home");
    DemoData::buildSampleHome(home, 200, 20261205);
    const auto files = fingerprint(home);
    ASSERT_EQ(int(files.size()), 200);

    const QStringList userFolders{"Documents", "Desktop", "Downloads", "Pictures", "Music", "Movies"};
    std::map<std::string, bool> seen; // each case the sample must contain somewhere
    qint64 smallest = std::numeric_limits<qint64>::max(), largest = 0;
    for (const auto& [relative, print] : files) {
        SCOPED_TRACE(relative.toStdString());
        EXPECT_TRUE(userFolders.contains(relative.section(QLatin1Char('/'), 0, 0)));
        const QString name = relative.section(QLatin1Char('/'), -1);
        seen["hidden"] |= name.startsWith(QLatin1Char('.'));
        seen["accented"] |= relative.contains(QChar(0xE9)) || relative.contains(QChar(0xFC));
        seen["cjk"] |= relative.contains(QChar(0x65E5));
        seen["emoji"] |= relative.contains(QChar::fromUcs2(0xD83C)) || relative.contains(QChar::fromUcs2(0xD83D));
        seen["empty"] |= print.size == 0;
        seen["private0600"] |= print.mode == 0600;
        seen["executable0755"] |= print.mode == 0755;
        seen["nested"] |= relative.count(QLatin1Char('/')) >= 5;
        if (print.size > 0)
            smallest = std::min(smallest, print.size);
        largest = std::max(largest, print.size);
        EXPECT_TRUE(print.mode == 0644 || print.mode == 0600 || print.mode == 0755);
        // Fixed dates in the past, never the moment of writing.
        EXPECT_LT(print.modified, QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC).toSecsSinceEpoch() + 1);
        EXPECT_GT(print.modified, QDateTime(QDate(2023, 1, 1), QTime(0, 0), Qt::UTC).toSecsSinceEpoch());
    }
    for (const char* trait : {"hidden", "accented", "cjk", "emoji", "empty", "private0600", "executable0755", "nested"})
        EXPECT_TRUE(seen[trait]) << trait;
    EXPECT_LE(smallest, 16);
    EXPECT_GE(largest, 3 * 1024 * 1024);

    const QDir emptyFolder(home + QStringLiteral("/Downloads/Empty Folder"));
    EXPECT_TRUE(emptyFolder.exists());
    EXPECT_TRUE(emptyFolder.isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

TEST_F(DemoDataTest, AnExistingHomeIsLeftAsItIs)
{
    const QString home = path("home");
    test::writeBytes(home + QStringLiteral("/Documents/mine.txt"), "keep me");

    const DemoData::Summary summary = DemoData::buildSampleHome(home, 50, 1);
    EXPECT_EQ(std::pair(summary.files, summary.bytes), std::pair(1, std::uint64_t(7)));
    EXPECT_EQ(fingerprint(home).size(), 1u);
}

// The Linux parts name the home where it ends up, never the folder it was built
// in, and hold the machine-bound key the demonstration proves is left behind.
// That its browser values, app data and settings arrive is the demonstration's
// own proof (CliEndToEnd.DemoMigratesTheSampleHome, DemoProofs).
TEST_F(DemoDataTest, ALinuxHomesSettingsNameItsOwnPlace)
{
    if (findExecutable(QStringLiteral("dconf")).isEmpty())
        GTEST_SKIP() << "the sample's settings need dconf";
    const QString home = path("ann smith");
    const DemoData::Summary summary = DemoData::buildSampleHome(home, 30, 7, DemoData::Contents::linuxHome);
    EXPECT_EQ(summary, DemoData::summarize(home));
    EXPECT_EQ(QDir(root()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"ann smith"})
        << "nothing of the build is left beside the home";

    const QByteArray settings = dconf::dumpHome(home);
    const QString uri = QUrl::fromLocalFile(home + QStringLiteral("/Pictures/Wallpapers/Lake Zürich.jpg")).toString(QUrl::FullyEncoded);
    EXPECT_TRUE(settings.contains("picture-uri='" + uri.toUtf8() + "'")) << settings.constData();
    EXPECT_TRUE(uri.contains(QStringLiteral("ann%20smith")));
    EXPECT_TRUE(QFileInfo(home + QStringLiteral("/Pictures/Wallpapers/Lake Zürich.jpg")).isFile());
    EXPECT_TRUE(settings.contains("[org/gnome/desktop/remote-desktop/rdp]\nenable=true"));
    EXPECT_EQ(desktopSettings::keyCount(desktopSettings::withoutDeniedKeys(settings)), DemoLinuxHome::kSettingsKeys);
}
