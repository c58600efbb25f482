// SPDX-License-Identifier: Apache-2.0
#include "cli/InspectCommand.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <gtest/gtest.h>

using namespace kivo::cli;
using namespace Qt::Literals::StringLiterals;

// The streamed report writes its strings itself: each must read back as the
// same text, and match what Qt's writer makes of it.
TEST(InspectJson, StringsReadBackAsWrittenAndAsQtWritesThem)
{
    const QString cases[] = {
        u""_s,
        u"~/.config/chromium/Default/History"_s,
        u"~/say \"hi\"\\there"_s,
        u"tab\tnew line\ncarriage\rback\bform\f"_s,
        QString(QChar(0x01)) + QChar(0x1f) + QChar(0x7f),
        u"~/Документы/日本語 é ü 🎉"_s,
        u"~/a/b/../c//d"_s,
    };
    for (const QString& text : cases) {
        const QByteArray written = jsonString(text);
        const QByteArray qt = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
        EXPECT_EQ(written, qt.mid(1, qt.size() - 2)) << text.toStdString();
        const QJsonArray back = QJsonDocument::fromJson('[' + written + ']').array();
        ASSERT_EQ(back.size(), 1) << written.constData();
        EXPECT_EQ(back[0].toString(), text);
    }
}
