// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "support/GuiHarness.h"

#include <QProcess>

namespace kivo::test {

// Clicks shared by the wizard runs.
// The source window's side after pairing: the account, only user files, the
// three source screens, then the outcome.
void finishSourceSide(GuiHarness& h);
// The source window after pairing with the categories of these names left out, until the complete
// screen shows, whatever it says.
void runSourceSide(GuiHarness& h, const QStringList& leftOut);
// The destination's side from the welcome screen: picks `source`, a wrong code first, then `code`.
void finishDestinationSide(GuiHarness& h, const QString& source, const QString& code);
void typeCode(GuiHarness& h, const QString& code);
QString wrongCodeFor(const QString& code);

// A window in a process of its own (this test binary running one of the
// GuiChildren tests) inside a host of the test network: `launcher` and
// `launcherArgs` come first ("scripts/testnet/exec a").
struct WindowChild {
    QProcess process;
    void start(const QString& test, const QProcessEnvironment& env, const QString& launcher, const QStringList& launcherArgs);
    // Waits for the source child's "ADVERTISING port code" line.
    bool readAdvertisement(QString& port, QString& code);
    // Exit code 0 and the child's own test passed; the output otherwise.
    std::optional<QByteArray> failure();
};

} // namespace kivo::test
