// SPDX-License-Identifier: Apache-2.0
#include "transfer/WirePath.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

// Paths a peer may send, against a destination whose home is /home/new and whose
// account mapping moves /Users/old there; the protected system paths sit under
// /home/new/sys so that one of them lies inside the home.
TEST(WirePath, HostileNamesAreRefusedAndLegitimateOnesLandBeneathTheHome)
{
    const QString home = u"/home/new"_s;
    const UserMapping mapping = UserMapping::make(u"old"_s, u"/Users/old"_s, u"new"_s, home);
    const MDMSafetyChecker safety(home + u"/sys"_s);
    const QString name255(255, u'n');
    // Seventeen names after "/home/new/": 4,095 bytes in all is the longest path, 4,096 one too many.
    const QString longest = u"~/"_s + QStringList(16, QString(240, u'd')).join(u'/') + u'/' + QString(229, u'e');
    const QString tooLong = longest + u'e';

    struct Case {
        QString wire;
        std::optional<PathRefusal> refusal;
        QString destination = {};
    };
    const QList<Case> cases = {
        {u"~/Documents/a.txt"_s, {}, u"/home/new/Documents/a.txt"_s},
        {u"/Users/old/Documents/a.txt"_s, {}, u"/home/new/Documents/a.txt"_s},
        {u"/home/new/x"_s, {}, u"/home/new/x"_s},
        // Look-alikes of "/" and "." are plain characters in a name.
        {u"~/a∕..∕b"_s, {}, u"/home/new/a∕..∕b"_s},
        {u"~/．．/x"_s, {}, u"/home/new/．．/x"_s},
        {u"~/.hidden/..x/x.."_s, {}, u"/home/new/.hidden/..x/x.."_s},
        {u"~/"_s + name255, {}, home + u'/' + name255},
        {longest, {}, home + longest.mid(1)},
        {u"~/"_s + QString(128, u'é'), PathRefusal::tooLong}, // 256 bytes in UTF-8
        {tooLong, PathRefusal::tooLong},
        {u"~/../outside/x"_s, PathRefusal::invalid},
        {u"~/a/../../outside"_s, PathRefusal::invalid},
        {u"~/./x"_s, PathRefusal::invalid},
        {u"/Users/old/../../etc/passwd"_s, PathRefusal::invalid},
        {u"~/a/"_s, PathRefusal::invalid},
        {u"~//x"_s, PathRefusal::invalid},
        {u"~/"_s, PathRefusal::invalid},
        {u""_s, PathRefusal::invalid},
        {u"~/a"_s + QChar(0) + u"b"_s, PathRefusal::invalid},
        {u"~root/.ssh/authorized_keys"_s, PathRefusal::invalid},
        {u"relative/x"_s, PathRefusal::invalid},
        {u"/etc/x"_s, PathRefusal::outsideHome},
        {u"/home/new"_s, PathRefusal::outsideHome},
        {u"/home/newer/x"_s, PathRefusal::outsideHome},
        {u"~/sys/var/db/MDM/evil.plist"_s, PathRefusal::protectedPath},
        {u"/var/db/ConfigurationProfiles/x"_s, PathRefusal::outsideHome},
    };
    for (const Case& c : cases) {
        const WirePathCheck check = checkWirePath(c.wire, home, mapping, safety);
        const std::string label = c.wire.left(60).toStdString();
        EXPECT_EQ(check.refusal, c.refusal) << label;
        EXPECT_EQ(check.destination, c.destination) << label;
    }

    // Without a mapping an old absolute path is just outside the home; the
    // system's own protected paths stay refused when they are named directly.
    EXPECT_EQ(checkWirePath(u"/Users/old/a"_s, home, std::nullopt, safety).refusal, PathRefusal::outsideHome);
    EXPECT_EQ(checkWirePath(u"/var/db/MDM/a"_s, home, std::nullopt, MDMSafetyChecker()).refusal,
              PathRefusal::protectedPath);

    // Logged names show what a NUL or a line break would hide or forge.
    EXPECT_EQ(forLog(u"~/a"_s + QChar(0) + u"b\nE: fake\x7f é"_s), QByteArray("~/a\\x00b\\x0aE: fake\\x7f \xc3\xa9"));
}
