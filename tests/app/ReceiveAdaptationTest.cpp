#include "app/ReceiveAdaptation.h"
#include "transfer/TransferManifest.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

TEST(ReceiveAdaptation, TheSourceHomeIsReadOffTheFirstItemThatShowsIt)
{
    auto manifest = [](const QList<std::pair<QString, QString>>& items) {
        TransferManifest m;
        for (const auto& [relative, absolute] : items) {
            TransferManifest::FileItem item;
            item.relativePath = relative;
            item.absolutePath = absolute;
            m.items.append(item);
        }
        return m;
    };
    const QList<std::pair<TransferManifest, std::optional<QString>>> cases = {
        {manifest({{u"~/Library/Preferences/a.plist"_s, u"/Users/ann/Library/Preferences/a.plist"_s}}), u"/Users/ann"_s},
        // An item that does not show it is passed over.
        {manifest({{u"~/x"_s, u"/elsewhere/y"_s}, {u"~/Documents/b"_s, u"/home/ann/Documents/b"_s}}), u"/home/ann"_s},
        {manifest({{u"~/b"_s, u"/Users/../etc/b"_s}}), std::nullopt},
        {manifest({{u"~/b"_s, u"/b"_s}}), std::nullopt},
        {manifest({{u"~/b"_s, u"Users/ann/b"_s}}), std::nullopt},
        {manifest({{u"~/b"_s, u"~/b"_s}}), std::nullopt},
        {manifest({}), std::nullopt},
    };
    for (const auto& [m, home] : cases)
        EXPECT_EQ(ReceiveAdaptation::sourceHomeFromManifest(m), home)
            << (m.items.isEmpty() ? std::string("empty") : m.items.last().absolutePath.toStdString());
}
