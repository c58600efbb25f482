// SPDX-License-Identifier: Apache-2.0
#include "app/HomeWording.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>

#include <gtest/gtest.h>

using namespace kivo;

// On a Linux home the machine is a computer; words that only start alike stay.
TEST(HomeWording, MacReadsComputerOnlyOnALinuxHome)
{
    struct Case {
        const char* text;
        const char* linux;
    };
    const Case cases[] = {
        {"Which Mac is this?", "Which computer is this?"},
        {"Searching for nearby Macs…", "Searching for nearby computers…"},
        {"Same username on both Macs — your files will go right where they belong.",
         "Same username on both computers — your files will go right where they belong."},
        // Headings in title case keep their capitals; a sentence may start with the machine.
        {"Source Mac", "Source Computer"},
        {"Enter This Code on the Other Mac", "Enter This Code on the Other Computer"},
        {"Waiting for the Source Mac", "Waiting for the Source Computer"},
        {"This Mac is set up by your IT department.", "This computer is set up by your IT department."},
        {"Account on this Mac", "Account on this computer"},
        {"Mac name. Mac disk", "Computer name. Computer disk"},
        {"Mac", "Computer"},
        {"macOS, Machine, MacBook and iMac stay", "macOS, Machine, MacBook and iMac stay"},
        {"", ""},
    };
    for (const Case& c : cases) {
        const QString text = QString::fromUtf8(c.text);
        EXPECT_EQ(wordedForHome(text, HomeLayoutKind::Linux), QString::fromUtf8(c.linux)) << c.text;
        EXPECT_EQ(wordedForHome(text, HomeLayoutKind::MacOS), text) << c.text;
    }
}

// A screen's text that names the machine goes through say(), or a Linux home reads "Mac".
TEST(HomeWording, EveryScreenTextNamingTheMachineIsWordedForTheHome)
{
    const QDir screens(QStringLiteral(KIVO_SOURCE_DIR "/qml"));
    static const QRegularExpression literal(QStringLiteral(R"("[^"\n]*\bMacs?\b[^"\n]*")"));
    // Where the binding or statement holding a literal starts.
    static const QRegularExpression binding(QStringLiteral(R"(\n\s*[\w.]+\s*:|\n\s*(return|const|let)\b)"));
    const QStringList names = screens.entryList({QStringLiteral("*.qml")});
    ASSERT_FALSE(names.isEmpty());
    for (const QString& name : names) {
        QFile file(screens.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << qPrintable(name);
        const QString text = QString::fromUtf8(file.readAll());
        for (auto it = literal.globalMatch(text); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            const qsizetype from = std::max<qsizetype>(0, text.lastIndexOf(binding, m.capturedStart()));
            EXPECT_TRUE(QStringView(text).sliced(from, m.capturedStart() - from).contains(u"say("))
                << qPrintable(name) << ": " << qPrintable(m.captured());
        }
    }
}
