// SPDX-License-Identifier: Apache-2.0
#include "platform/Error.h"
#include "transfer/PreFlightConflict.h"
#include "transfer/TransferSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

// What a source adds to its question round-trips; an older source's question
// still reads; a category list that does not match the paths is refused.
TEST(PreFlightConflictRequest, OurFieldsRoundTripAndAMismatchIsRefused)
{
    const PreFlightConflictRequest full{.pathsToCheck = {u"~/Documents/a"_s, u"~/.mozilla/x"_s},
                                        .requestID = u"R"_s,
                                        .categoryIDs = {u"userFiles"_s, u"browserData"_s},
                                        .layout = u"linux"_s,
                                        .userFolders = {{u"DOCUMENTS"_s, u"~/Dokumente"_s}}};
    const PreFlightConflictRequest back = PreFlightConflictRequest::decode(full.encoded());
    EXPECT_EQ(back.pathsToCheck, full.pathsToCheck);
    EXPECT_EQ(back.categoryIDs, full.categoryIDs);
    EXPECT_EQ(back.layout, full.layout);
    EXPECT_EQ(back.userFolders, full.userFolders);

    const PreFlightConflictRequest plain = PreFlightConflictRequest::decode(R"({"pathsToCheck":["~/a"],"requestID":"R"})");
    EXPECT_TRUE(plain.categoryIDs.isEmpty());
    EXPECT_EQ(plain.layout, std::nullopt);

    for (const char* bad : {R"({"pathsToCheck":["~/a"],"requestID":"R","categoryIDs":[]})",
                            R"({"pathsToCheck":["~/a"],"requestID":"R","categoryIDs":["x","y"]})",
                            R"({"pathsToCheck":["~/a"],"requestID":"R","userFolders":["x"]})",
                            R"({"pathsToCheck":["~/a"],"requestID":"R","userFolders":{"DOCUMENTS":1}})"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(PreFlightConflictRequest::decode(bad), DecodingError);
    }
}

// A path of a category is looked at where it will land and answered under the
// name the source asked with; a relocation that leads out of the home is refused.
TEST(PreFlightConflictRequest, TheAnswerLooksWhereTheFileWillLand)
{
    QTemporaryDir dir;
    const QString home = dir.path();
    writeBytes(home + u"/Dokumente/a.txt"_s, "here");
    writeBytes(home + u"/Documents/b.txt"_s, "here");
    PreFlightConflictRequest request{.pathsToCheck = {u"~/Documents/a.txt"_s, u"~/Documents/b.txt"_s, u"~/x"_s},
                                     .requestID = u"R"_s,
                                     .categoryIDs = {u"userFiles"_s, u"userFiles"_s, u"browserData"_s},
                                     .layout = {},
                                     .userFolders = {}};
    const ConflictRelocation relocation = [](const QString& path, const QString& category) {
        if (category == u"browserData"_s)
            return u"~/../elsewhere/x"_s;
        return QString(path).replace(u"~/Documents/"_s, u"~/Dokumente/"_s);
    };
    const auto now = QDateTime::currentDateTimeUtc();
    const PreFlightConflictResponse relocated =
        answerConflictRequest(request, home, std::nullopt, MDMSafetyChecker(), now, relocation);
    ASSERT_EQ(relocated.conflicts.size(), 1);
    EXPECT_EQ(relocated.conflicts.first().path, u"~/Documents/a.txt"_s);
    EXPECT_EQ(relocated.conflicts.first().destSize, 4u);
    EXPECT_EQ(relocated.refusedPaths, QStringList{u"~/x"_s});

    // Without categories (an older source) the paths are taken as they are.
    request.categoryIDs.clear();
    const PreFlightConflictResponse asSent =
        answerConflictRequest(request, home, std::nullopt, MDMSafetyChecker(), now, relocation);
    ASSERT_EQ(asSent.conflicts.size(), 1);
    EXPECT_EQ(asSent.conflicts.first().path, u"~/Documents/b.txt"_s);
    EXPECT_TRUE(asSent.refusedPaths.isEmpty());
}
