// SPDX-License-Identifier: Apache-2.0
#include "support/CliRun.h"

#include <QDir>
#include <QImage>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo::test;

namespace {

QString kivoGui() { return qEnvironmentVariable("KIVO_BUILD_DIR") + QStringLiteral("/gui/kivo"); }

// Distinct colours in a sparse sample: a blank or one-colour grab has one or two.
int coloursIn(const QImage& image)
{
    QSet<QRgb> seen;
    for (int y = 0; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7)
            seen.insert(image.pixel(x, y));
    return int(seen.size());
}

} // namespace

// `kivo --screenshots` renders every screen and sheet of both roles without a
// display, at the size asked, in the scheme asked, and leaves the home alone.
TEST(ScreenTour, RendersEveryScreenOfBothRolesAndTouchesNoHome)
{
    QTemporaryDir home, shots;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    const CliRun run = runProcess(kivoGui(), {QStringLiteral("--screenshots"), shots.path(), QStringLiteral("--size"),
                                              QStringLiteral("1024x700"), QStringLiteral("--color-scheme"), QStringLiteral("dark")},
                                  env, std::chrono::minutes(5));
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    const QStringList listed = QString::fromUtf8(run.out).split(u'\n', Qt::SkipEmptyParts);
    for (const char* view : {"welcome-any", "resume-any", "role-any", "discovery-source", "discovery-failed-source",
                             "discovery-failed-destination", "peers-destination",
                             "pairing-source", "pairing-destination", "mapping-destination", "categories-source",
                             "folders-source", "preflight-source", "preflight-keyring-locked-source", "review-source", "transfer-source",
                             "transfer-destination", "complete-source", "complete-destination", "complete-not-imported-source",
                             "complete-not-imported-destination", "log-source",
                             "staged-destination", "managed-any"}) {
        const QString file = shots.filePath(QString::fromLatin1(view) + QStringLiteral(".png"));
        EXPECT_TRUE(listed.contains(file)) << view;
        const QImage image(file);
        ASSERT_FALSE(image.isNull()) << view;
        EXPECT_EQ(image.size() / image.devicePixelRatio(), QSize(1024, 700)) << view;
        EXPECT_GT(coloursIn(image), 8) << view;
        // Dark: the window's corner is dark.
        EXPECT_LT(QColor(image.pixel(2, image.height() - 2)).lightnessF(), 0.5) << view;
    }
    EXPECT_TRUE(QDir(home.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());

    const CliRun refused = runProcess(kivoGui(), {QStringLiteral("--screenshots"), shots.path(), QStringLiteral("--size"),
                                                  QStringLiteral("10x10")}, env);
    EXPECT_EQ(refused.exitCode, 2);
}
