// SPDX-License-Identifier: Apache-2.0
#include "support/CoroTest.h"
#include "support/GuiHarness.h"

#include "connection/ConnectionManager.h"
#include "connection/PairingManager.h"

#include <QAccessible>
#include <QClipboard>
#include <QGuiApplication>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

namespace {

SessionEnvironment environmentIn(const QString& home) { return {home, QStringLiteral("test-host"), QStringLiteral("bob")}; }

// The six boxes as one string, "-" for an empty one.
QString boxes(GuiHarness& h)
{
    QString out;
    for (int i = 1; i <= 6; ++i) {
        QAccessibleInterface* box = h.accessible(QStringLiteral("Pairing code, 6 digits, digit %1").arg(i));
        const QString digit = box ? box->text(QAccessible::Value) : QStringLiteral("?");
        out += digit.isEmpty() ? QStringLiteral("-") : digit;
    }
    return out;
}

void type(GuiHarness& h, const QString& keys)
{
    for (const QChar c : keys)
        h.key(c.isDigit() ? Qt::Key_0 + c.digitValue() : Qt::Key_A + (c.toLower().unicode() - 'a'));
}

QString cycle(GuiHarness& h, Qt::KeyboardModifiers modifiers, int steps)
{
    QStringList names;
    for (int i = 0; i < steps; ++i) {
        h.key(Qt::Key_Tab, modifiers);
        names << h.focusedName();
    }
    return names.join(u'|');
}

} // namespace

// The code boxes: a digit moves on, other keys are dropped, Backspace goes
// back, a paste fills the rest; a locally compared wrong code clears the boxes
// and sends nothing.
TEST(Keyboard, CodeBoxes)
{
    QTemporaryDir home;
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close();

    GuiHarness h(environmentIn(home.path()));
    DiscoveredPeer peer = peerForAddress(QStringLiteral("127.0.0.1"), port, QStringLiteral("123456"));
    peer.advertised = true; // an advertised code is compared here, before anything is sent
    peer.securePairing = false;
    h.state().connectionManager()->pairingManager()->acceptPeerCode(QStringLiteral("123456"));
    h.state().setSelectedPeer(peer);
    h.state().setDeviceRole(DeviceRole::destination);
    h.state().setCurrentStep(MigrationStep::pairing);
    h.settle();

    type(h, QStringLiteral("12"));
    EXPECT_EQ(boxes(h), QStringLiteral("12----"));
    EXPECT_EQ(h.focusedName(), QStringLiteral("Pairing code, 6 digits, digit 3"));
    type(h, QStringLiteral("x"));
    EXPECT_EQ(boxes(h), QStringLiteral("12----"));
    h.key(Qt::Key_Backspace);
    EXPECT_EQ(boxes(h), QStringLiteral("1-----"));
    EXPECT_EQ(h.focusedName(), QStringLiteral("Pairing code, 6 digits, digit 2"));

    QGuiApplication::clipboard()->setText(QStringLiteral("98 76-54"));
    h.key(Qt::Key_V, Qt::ControlModifier);
    // 198765 is six digits: submitted, wrong, cleared, and no connection was tried.
    EXPECT_TRUE(h.waitForText(QStringLiteral("Code doesn't match. Check the source computer and try again.")));
    EXPECT_EQ(boxes(h), QStringLiteral("------"));
    EXPECT_EQ(h.focusedName(), QStringLiteral("Pairing code, 6 digits, digit 1"));
    EXPECT_EQ(h.state().connectionManager()->transferSession(), nullptr);
    EXPECT_TRUE(h.state().connectionErrorText().isEmpty());

    // The right code goes on to connect: this peer is gone, which the screen says.
    type(h, QStringLiteral("123456"));
    EXPECT_TRUE(waitUntil([&] { return !h.state().connectionErrorText().isEmpty(); }));
    EXPECT_TRUE(h.showsText(h.state().connectionErrorText()));
}

// Tab and Shift+Tab follow reading order, Enter and Space activate, Esc closes a sheet.
TEST(Keyboard, TabOrderActivationAndEscape)
{
    QTemporaryDir home;
    SessionEnvironment e = environmentIn(home.path());
    e.demoAvailable = true;
    GuiHarness h(e);
    EXPECT_EQ(cycle(h, Qt::NoModifier, 3), QStringLiteral("Preview Demo|Get Started|Preview Demo"));
    h.key(Qt::Key_Tab);
    h.key(Qt::Key_Return);
    ASSERT_EQ(h.state().currentStep(), MigrationStep::roleSelection);

    EXPECT_EQ(cycle(h, Qt::NoModifier, 3), QStringLiteral("Source Computer|Destination Computer|Back"));
    EXPECT_EQ(cycle(h, Qt::ShiftModifier, 2), QStringLiteral("Destination Computer|Source Computer"));
    h.key(Qt::Key_Tab);
    h.key(Qt::Key_Space);
    EXPECT_EQ(h.state().currentStep(), MigrationStep::discovery);
    EXPECT_EQ(h.state().deviceRole(), DeviceRole::destination);

    h.state().setCurrentStep(MigrationStep::complete);
    ASSERT_TRUE(h.press(QStringLiteral("View Log")));
    ASSERT_TRUE(h.showsText(QStringLiteral("No log available")));
    h.key(Qt::Key_Escape);
    EXPECT_FALSE(h.showsText(QStringLiteral("No log available")));
}
