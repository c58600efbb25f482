// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "transfer/TransferManifest.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

TEST(Adaptation, TheSourceHomeIsReadOffTheFirstItemThatShowsIt)
{
    auto manifest = [](const QList<std::pair<QString, QString>>& items) {
        TransferManifest m;
        for (const auto& [relative, absolute] : items) {
            TransferManifest::FileItem item;
            item.relativePath = relative;
            item.setAbsolutePath(absolute);
            m.items.append(item);
        }
        return m;
    };
    const QList<std::pair<TransferManifest, std::optional<QString>>> cases = {
        {manifest({{u"~/Library/Preferences/a.plist"_s, u"/Users/ann/Library/Preferences/a.plist"_s}}), u"/Users/ann"_s},
        // An item that does not show it is passed over.
        {manifest({{u"~/x"_s, u"/elsewhere/y"_s}, {u"~/Documents/b"_s, u"/home/ann/Documents/b"_s}}), u"/home/ann"_s},
        {manifest({{u"~/b"_s, u"/Users/../etc/b"_s}}), std::nullopt},
        {manifest({{u"~/b"_s, u"Users/ann/b"_s}}), std::nullopt},
        {manifest({}), std::nullopt},
    };
    for (const auto& [m, home] : cases)
        EXPECT_EQ(AppState::sourceHomeFromManifest(m), home)
            << (m.items.isEmpty() ? std::string("empty") : m.items.last().absolutePath().toStdString());
}

TEST(Adaptation, TheMappingFollowsTheGivenHomeThenTheItemsThenTheAnnouncedOne)
{
    auto manifest = [](std::optional<QString> announced, QString absolute) {
        TransferManifest m;
        m.sourceHomeFolder = std::move(announced);
        if (!absolute.isEmpty()) {
            TransferManifest::FileItem item;
            item.relativePath = u"~/Documents/a"_s;
            item.setAbsolutePath(absolute);
            m.items.append(item);
        }
        return m;
    };
    struct Case {
        MappingInputs in;
        TransferManifest m;
        QString sourceUser, sourceHome;
    };
    const MappingInputs bob{u"ann"_s, std::nullopt, u"bob"_s, u"/home/bob/"_s};
    MappingInputs given = bob;
    given.sourceHome = u"/srv/ann"_s;
    MappingInputs unnamed = bob;
    unnamed.sourceUsername.clear();
    const QList<Case> cases = {
        {given, manifest(u"/Users/ann"_s, u"/home/ann/Documents/a"_s), u"ann"_s, u"/srv/ann"_s},
        {bob, manifest(u"/Users/ann"_s, u"/home/ann/Documents/a"_s), u"ann"_s, u"/home/ann"_s},
        {bob, manifest(u"/Users/ann"_s, {}), u"ann"_s, u"/Users/ann"_s},
        // An announced home that could steer paths elsewhere is not taken.
        {bob, manifest(u"/Users/../etc"_s, {}), u"ann"_s, u"/home/ann"_s},
        {bob, manifest(u"/"_s, {}), u"ann"_s, u"/home/ann"_s},
        {bob, manifest(u"/home/~ann"_s, {}), u"ann"_s, u"/home/ann"_s},
        {bob, manifest(u"home/ann"_s, {}), u"ann"_s, u"/home/ann"_s},
        {bob, manifest(std::nullopt, {}), u"ann"_s, u"/home/ann"_s},
        // No advertised user: the home's last part names it, else the destination's own.
        {unnamed, manifest(u"/Users/carol"_s, {}), u"carol"_s, u"/Users/carol"_s},
        {unnamed, manifest(std::nullopt, {}), u"bob"_s, u"/home/bob"_s},
    };
    for (const Case& c : cases) {
        const UserMapping m = AppState::mappingForManifest(c.in, c.m);
        EXPECT_EQ(m.sourceUsername, c.sourceUser) << c.sourceHome.toStdString();
        EXPECT_EQ(m.sourceHomeFolder, c.sourceHome);
        EXPECT_EQ(m.destinationUsername, u"bob"_s);
        EXPECT_EQ(m.destinationHomeFolder, u"/home/bob"_s);
    }
}
