// SPDX-License-Identifier: Apache-2.0
#include "cli/Reporter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cstdio>

using namespace kivo;
using namespace kivo::cli;
using namespace Qt::StringLiterals;

namespace {

QJsonObject emitted(HomeLayoutKind layout, const QJsonObject& fields)
{
    FILE* out = std::tmpfile();
    Reporter reporter(Reporter::Mode::json, out);
    reporter.speakFor(layout);
    reporter.event(u"fileFailed"_s, fields, {});
    std::rewind(out);
    char line[4096] = {};
    const size_t n = std::fread(line, 1, sizeof line - 1, out);
    std::fclose(out);
    return QJsonDocument::fromJson(QByteArray(line, qsizetype(n))).object();
}

} // namespace

// Human texts in events name the machine as the home's kind; paths and names never change.
TEST(ReporterWording, EventTextsSayComputerOnALinuxHomeAndLeavePathsAlone)
{
    const QJsonObject fields{
        {u"path"_s, u"~/Documents/Mac notes.txt"_s},
        {u"reason"_s, u"Never received: the other Mac ended the transfer before sending it"_s},
        {u"failures"_s, QJsonArray{QJsonObject{{u"path"_s, u"~/Mac"_s}, {u"error"_s, u"The other Mac did not answer."_s}}}},
        {u"details"_s, QJsonObject{{u"message"_s, u"Both Macs are ready"_s}}},
        {u"checks"_s, QJsonObject{{u"warnings"_s, QJsonArray{u"Destination Mac is not MDM-enrolled."_s}},
                                  {u"excluded"_s, QJsonArray{u"~/Mac"_s}}}},
    };
    const QJsonObject linux = emitted(HomeLayoutKind::Linux, fields);
    EXPECT_EQ(linux[u"event"_s].toString(), u"fileFailed"_s);
    EXPECT_EQ(linux[u"path"_s].toString(), u"~/Documents/Mac notes.txt"_s);
    EXPECT_EQ(linux[u"reason"_s].toString(), u"Never received: the other computer ended the transfer before sending it"_s);
    const QJsonObject failure = linux[u"failures"_s].toArray().at(0).toObject();
    EXPECT_EQ(failure[u"path"_s].toString(), u"~/Mac"_s);
    EXPECT_EQ(failure[u"error"_s].toString(), u"The other computer did not answer."_s);
    EXPECT_EQ(linux[u"details"_s].toObject()[u"message"_s].toString(), u"Both computers are ready"_s);
    const QJsonObject checks = linux[u"checks"_s].toObject();
    EXPECT_EQ(checks[u"warnings"_s].toArray().at(0).toString(), u"Destination computer is not MDM-enrolled."_s);
    EXPECT_EQ(checks[u"excluded"_s].toArray().at(0).toString(), u"~/Mac"_s) << "a list of paths is left alone";

    QJsonObject mac = emitted(HomeLayoutKind::MacOS, fields);
    mac.remove(u"event"_s);
    EXPECT_EQ(mac, fields);
}

// What a peer named is shown, never obeyed: no escape sequence reaches the terminal,
// and a line break in a name cannot forge a line of its own.
TEST(ReporterWording, ControlCharactersNeverReachTheTerminal)
{
    FILE* out = std::tmpfile();
    Reporter reporter(Reporter::Mode::plain, out);
    const QString host = u"evil\x1b[2J\nforged  row"_s;
    reporter.event(u"log"_s, {}, u"A  "_s + Reporter::shown(host) + u"\n\x1b]0;title\x07second line"_s);
    std::rewind(out);
    char text[512] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, out);
    std::fclose(out);
    EXPECT_EQ(QString::fromUtf8(text, qsizetype(n)),
              u"A  evil\uFFFD[2J\uFFFDforged  row\n\uFFFD]0;title\uFFFDsecond line\n"_s);
}
