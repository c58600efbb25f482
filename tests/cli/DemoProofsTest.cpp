// SPDX-License-Identifier: Apache-2.0
#include "cli/DemoCommand.h"
#include "cli/DemoProofs.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

using namespace kivo::cli;
using namespace Qt::StringLiterals;

namespace {

DemoExpectations expected()
{
    return {u"file:///w/destination-home/Pictures/Lake%20Z%C3%BCrich.jpg"_s, u"'Adwaita-dark'"_s, "pw", "cookie", "gimprc", "imap"};
}

// Everything the demonstration promises, seen on the destination.
DemoObservations allArrived()
{
    DemoObservations seen;
    seen.filesCompared = 120;
    seen.wallpaper = u"'file:///w/destination-home/Pictures/Lake%20Z%C3%BCrich.jpg'"_s;
    seen.theme = u"'Adwaita-dark'"_s;
    seen.secretInKeyring = true;
    seen.password = "pw";
    seen.cookie = "cookie";
    seen.appFileInFlatpak = "gimprc";
    seen.mailPassword = "imap";
    return seen;
}

QStringList failedProofs(const DemoObservations& seen)
{
    QStringList out;
    for (const DemoProof& p : judgeDemo(expected(), seen))
        if (!p.passed)
            out << p.category;
    return out;
}

} // namespace

// Each way the destination can fall short fails exactly its own proof.
TEST(DemoProofs, EachShortfallFailsItsOwnProof)
{
    const struct {
        const char* name;
        std::function<void(DemoObservations&)> spoil;
        QStringList failed;
    } cases[] = {
        {"all arrived", [](DemoObservations&) {}, {}},
        {"a file missing", [](DemoObservations& s) { s.filesMissing = 1; }, {u"userFiles"_s}},
        {"a file different", [](DemoObservations& s) { s.filesDifferent = 2; }, {u"userFiles"_s}},
        {"nothing compared", [](DemoObservations& s) { s.filesCompared = 0; }, {u"userFiles"_s}},
        {"wallpaper still names the old home",
         [](DemoObservations& s) { s.wallpaper = u"'file:///w/source-home/Pictures/Lake%20Z%C3%BCrich.jpg'"_s; },
         {u"systemSettings"_s}},
        {"wallpaper unquoted", [](DemoObservations& s) { s.wallpaper = expected().wallpaperUri; }, {u"systemSettings"_s}},
        {"settings never applied",
         [](DemoObservations& s) { s.wallpaper.reset(); s.theme.reset(); },
         {u"systemSettings"_s, u"systemSettings"_s}},
        {"denied key arrived", [](DemoObservations& s) { s.deniedKey = u"true"_s; }, {u"systemSettings"_s}},
        {"app data missing", [](DemoObservations& s) { s.appFileInFlatpak.reset(); }, {u"applicationData"_s}},
        {"app data changed", [](DemoObservations& s) { s.appFileInFlatpak = "other"; }, {u"applicationData"_s}},
        {"app data where the Flatpak does not read it", [](DemoObservations& s) { s.appFileAtPackagePlace = true; },
         {u"applicationData"_s}},
        {"no secret in the keyring",
         [](DemoObservations& s) { s.secretInKeyring = false; s.password.reset(); s.cookie.reset(); },
         {u"browserData"_s, u"browserData"_s, u"browserData"_s}},
        {"password opens to something else", [](DemoObservations& s) { s.password = "wrong"; }, {u"browserData"_s}},
        {"cookie does not open", [](DemoObservations& s) { s.cookie.reset(); }, {u"browserData"_s}},
        {"keyring password missing", [](DemoObservations& s) { s.mailPassword.reset(); }, {u"keychain"_s}},
        {"a process left", [](DemoObservations& s) { s.processesLeft = 1; }, {QString()}},
    };
    for (const auto& c : cases) {
        DemoObservations seen = allArrived();
        c.spoil(seen);
        EXPECT_EQ(failedProofs(seen), c.failed) << c.name;
    }
}

// A failed proof says what was found, so the message names the fault.
TEST(DemoProofs, AFailedProofShowsWhatWasFound)
{
    DemoObservations seen = allArrived();
    seen.wallpaper = u"'file:///w/source-home/x.jpg'"_s;
    seen.password.reset();
    seen.deniedKey = u"true"_s;
    QStringList texts;
    for (const DemoProof& p : judgeDemo(expected(), seen))
        if (!p.passed)
            texts << p.text;
    ASSERT_EQ(texts.size(), 3);
    EXPECT_TRUE(texts[0].contains(u"'file:///w/source-home/x.jpg', expected 'file:///w/destination-home/"_s)) << texts[0].toStdString();
    EXPECT_TRUE(texts[1].contains(u"/org/gnome/desktop/remote-desktop/rdp/enable true, yet it belongs to the old machine"_s))
        << texts[1].toStdString();
    EXPECT_TRUE(texts[2].contains(u"saved password decrypted with it: does not open"_s)) << texts[2].toStdString();
}

// The demonstration clears its folders only in a workdir it made its own.
TEST(DemoWorkdir, FoldersOfSomeoneElseAreRefusedOnlyOutsideAMarkedWorkdir)
{
    QTemporaryDir dir;
    const QString w = dir.path();
    EXPECT_FALSE(demoWorkdirRefusal(w + u"/not-yet"_s)) << "a workdir still to be made";
    EXPECT_FALSE(demoWorkdirRefusal(w)) << "an empty one";
    ASSERT_TRUE(QDir().mkpath(w + u"/destination-machine"_s));
    const auto refusal = demoWorkdirRefusal(w);
    ASSERT_TRUE(refusal);
    EXPECT_TRUE(refusal->contains(w + u"/destination-machine"_s)) << refusal->toStdString();
    QFile mark(w + u"/.kivo-demo"_s);
    ASSERT_TRUE(mark.open(QIODevice::WriteOnly));
    mark.close();
    EXPECT_FALSE(demoWorkdirRefusal(w)) << "an earlier demonstration's";
    EXPECT_FALSE(demoWorkdirRefusal(defaultDemoWorkdir() + u"/"_s)) << "the default, the demonstration's by its name";
}
