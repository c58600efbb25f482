#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace kivo::test;
using namespace Qt::StringLiterals;

// A folder the source cannot read is not silently left out: both sides list it
// with its reason, the readable files still arrive, and both runs exit 1.
TEST(FailedFilesEndToEnd, AnUnreadableSourceFolderFailsBothSidesAndIsListed)
{
    QTemporaryDir work;
    const QString source = work.filePath(u"src"_s);
    const QString destination = work.filePath(u"dst"_s);
    ASSERT_TRUE(QDir().mkpath(source + u"/Documents/locked"_s));
    writeBytes(source + u"/Documents/report.txt"_s, patterned(70000, 1));
    writeBytes(source + u"/Documents/locked/diary.txt"_s, "private");
    ASSERT_EQ(::chmod(QFile::encodeName(source + u"/Documents/locked"_s).constData(), 0), 0);
    struct Unlock {
        QString path;
        ~Unlock() { ::chmod(QFile::encodeName(path).constData(), 0755); }
    } unlock{source + u"/Documents/locked"_s};

    // Root reads any folder: the source runs without that override.
    QString program = kivoCli();
    QStringList args{u"send"_s, u"--home"_s, source, u"--categories"_s, u"userFiles"_s, u"--json"_s};
    if (::geteuid() == 0) {
        const QString setpriv = QStandardPaths::findExecutable(u"setpriv"_s);
        ASSERT_FALSE(setpriv.isEmpty()) << "setpriv drops the override for the source";
        args.prepend(program);
        args.prepend(u"--bounding-set=-dac_override,-dac_read_search"_s);
        program = setpriv;
    }
    CliProcess sender(program, args);
    const QJsonObject advertised = sender.waitForEvent(u"advertising"_s);
    ASSERT_FALSE(advertised.isEmpty()) << sender.errors().constData();

    const CliRun received = runCli(receiveFrom(destination, advertised));
    const QJsonObject sentSummary = sender.waitForEvent(u"summary"_s);
    const QByteArray senderErrors = sender.errors();
    EXPECT_EQ(sender.finish(), 1) << senderErrors.constData();
    EXPECT_EQ(received.exitCode, 1) << received.err.constData();

    const QJsonObject locked{{u"path"_s, u"~/Documents/locked"_s},
                             {u"reason"_s, u"Folder could not be read: Permission denied"_s},
                             {u"status"_s, u"skipped"_s}};
    EXPECT_EQ(received.event(u"summary"_s).value(u"notTransferred"_s).toArray(), QJsonArray{locked}) << received.out.constData();
    EXPECT_EQ(sentSummary.value(u"notTransferred"_s).toArray(), QJsonArray{locked});
    EXPECT_TRUE(received.err.contains("1 file(s) or folder(s) could not be transferred")) << received.err.constData();
    EXPECT_TRUE(senderErrors.contains("1 file(s) or folder(s) could not be transferred")) << senderErrors.constData();
    EXPECT_EQ(readBytes(destination + u"/Documents/report.txt"_s), patterned(70000, 1));
    EXPECT_FALSE(QFile::exists(destination + u"/Documents/locked/diary.txt"_s));
}
