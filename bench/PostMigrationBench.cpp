// SPDX-License-Identifier: Apache-2.0
// Post-migration benchmarks: builds inputs and runs kivo's rewriting and
// ownership correction over them; one JSON line per run. The comparison with
// sed and chown is bench/postmigration-bench.sh's.
#include "platform/FileSystem.h"
#include "platform/PropertyList.h"
#include "postmigration/HelperInstaller.h"
#include "postmigration/PathRewriting.h"
#include "postmigration/PermissionsCorrector.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <cstdio>

using namespace kivo;

namespace {

qint64 peakRssKiB(const QString& pid = QStringLiteral("self"))
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

void print(QJsonObject o)
{
    std::printf("%s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    f.write(bytes);
}

// FILES settings files below HOME, a quarter each text/XML plist/binary plist/JSON-like text, half naming OLD.
int generateTree(const QString& home, const QString& old, int files)
{
    for (int i = 0; i < files; ++i) {
        const QString dir = QStringLiteral("%1/Library/Application Support/app%2").arg(home).arg(i / 500);
        if (i % 500 == 0)
            QDir().mkpath(dir);
        const QString named = (i % 2 == 0) ? old + QStringLiteral("/Documents/file%1").arg(i) : QStringLiteral("/opt/shared/file%1").arg(i);
        switch (i % 4) {
        case 0:
            writeFile(QStringLiteral("%1/settings%2.conf").arg(dir).arg(i),
                      QStringLiteral("# settings\nrecent = %1\nsize = 12\ntheme = dark\n").arg(named).repeated(8).toUtf8());
            break;
        case 1:
            writeFile(QStringLiteral("%1/prefs%2.plist").arg(dir).arg(i),
                      plist::serialize(QVariantMap{{QStringLiteral("Recent"), QVariantList{named, QStringLiteral("x")}},
                                                   {QStringLiteral("Count"), qint64(i)}},
                                       plist::Format::xml));
            break;
        case 2:
            writeFile(QStringLiteral("%1/state%2.plist").arg(dir).arg(i),
                      plist::serialize(QVariantMap{{QStringLiteral("Path"), named}, {QStringLiteral("On"), true}},
                                       plist::Format::binary));
            break;
        default:
            writeFile(QStringLiteral("%1/data%2.json").arg(dir).arg(i),
                      QStringLiteral("{\"path\": \"%1\", \"items\": [1,2,3]}\n").arg(named).repeated(8).toUtf8());
        }
    }
    return 0;
}

int rewriteTree(const QString& home, const QString& old, const QString& now)
{
    const QList<PathRewriteRule> rules = UserMapping::make(QStringLiteral("a"), old, QStringLiteral("b"), now).pathRewriteRules;
    QStringList paths;
    fs::forEachRegularFile(home, false, [&](const QString& p, const fs::FileStatus&) { paths.append(p); });
    QElapsedTimer timer;
    timer.start();
    qsizetype changes = 0;
    for (const QString& p : std::as_const(paths))
        changes += p.endsWith(QLatin1String(".plist")) ? rewritePlistFile(home, p, rules).size() : rewriteTextFile(home, p, rules).size();
    print({{QStringLiteral("case"), QStringLiteral("kivo-rewrite")}, {QStringLiteral("files"), paths.size()},
           {QStringLiteral("changes"), changes}, {QStringLiteral("seconds"), timer.nsecsElapsed() / 1e9},
           {QStringLiteral("peakRssKiB"), peakRssKiB()}});
    return 0;
}

// One text file of SIZE MiB whose every 64th line names OLD.
int generateLarge(const QString& path, const QString& old, int mebibytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return 1;
    QByteArray block;
    for (int line = 0; block.size() < (1 << 20); ++line)
        block += (line % 64 == 0 ? ("path=" + old + "/Music/x\n").toUtf8() : QByteArray("plain line of settings text\n"));
    block.truncate(1 << 20);
    block[block.size() - 1] = '\n';
    for (int i = 0; i < mebibytes; ++i)
        f.write(block);
    return 0;
}

int rewriteLarge(const QString& path, const QString& old, const QString& now)
{
    const QList<PathRewriteRule> rules = UserMapping::make(QStringLiteral("a"), old, QStringLiteral("b"), now).pathRewriteRules;
    QElapsedTimer timer;
    timer.start();
    const QString home = path.left(path.lastIndexOf(u'/'));
    const qsizetype changes = rewriteTextFile(home, path, rules).size();
    print({{QStringLiteral("case"), QStringLiteral("kivo-rewrite-large")}, {QStringLiteral("changes"), changes},
           {QStringLiteral("seconds"), timer.nsecsElapsed() / 1e9}, {QStringLiteral("peakRssKiB"), peakRssKiB()}});
    return changes > 0 ? 0 : 1;
}

int generateMany(const QString& home, int files)
{
    for (int i = 0; i < files; ++i) {
        const QString dir = QStringLiteral("%1/d%2").arg(home).arg(i / 1000);
        if (i % 1000 == 0)
            QDir().mkpath(dir);
        writeFile(QStringLiteral("%1/f%2").arg(dir).arg(i), {});
    }
    return 0;
}

int chownViaHelper(const QString& home, const QString& user, const QString& socket, const QString& helperPid)
{
    QStringList paths;
    fs::forEachRegularFile(home, false, [&](const QString& p, const fs::FileStatus&) { paths.append(p); });
    HelperInstaller helper(socket);
    PermissionsCorrector corrector(helper);
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    bool done = false;
    auto run = [&]() -> QCoro::Task<void> {
        co_await corrector.correctOwnership(home, user, paths);
        done = true;
        loop.quit();
    };
    auto task = run();
    if (!done)
        loop.exec();
    print({{QStringLiteral("case"), QStringLiteral("kivo-ownership")}, {QStringLiteral("via"), corrector.report().via},
           {QStringLiteral("files"), corrector.report().totalFiles},
           {QStringLiteral("processed"), corrector.report().filesProcessed},
           {QStringLiteral("errors"), corrector.report().errors.size()}, {QStringLiteral("seconds"), timer.nsecsElapsed() / 1e9},
           {QStringLiteral("helperPeakRssKiB"), peakRssKiB(helperPid)}});
    return corrector.report().errors.isEmpty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments().mid(1);
    const QString what = a.value(0);
    if (what == QLatin1String("generate-tree") && a.size() == 4)
        return generateTree(a[1], a[2], a[3].toInt());
    if (what == QLatin1String("rewrite-tree") && a.size() == 4)
        return rewriteTree(a[1], a[2], a[3]);
    if (what == QLatin1String("generate-large") && a.size() == 4)
        return generateLarge(a[1], a[2], a[3].toInt());
    if (what == QLatin1String("rewrite-large") && a.size() == 4)
        return rewriteLarge(a[1], a[2], a[3]);
    if (what == QLatin1String("generate-many") && a.size() == 3)
        return generateMany(a[1], a[2].toInt());
    if (what == QLatin1String("chown") && a.size() == 5)
        return chownViaHelper(a[1], a[2], a[3], a[4]);
    std::fprintf(stderr,
                 "usage: kivo-postmigration-bench generate-tree HOME OLD N | rewrite-tree HOME OLD NEW |\n"
                 "       generate-large FILE OLD MIB | rewrite-large FILE OLD NEW | generate-many HOME N |\n"
                 "       chown HOME USER SOCKET HELPER_PID\n");
    return 2;
}
