// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>

namespace kivo::gui {

struct GuiUsageError : std::runtime_error {
    explicit GuiUsageError(const QString& message) : std::runtime_error(message.toStdString()) {}
};

// What `kivo` was started with.
struct GuiOptions {
    QString home;           // empty: the user's
    QString hostname;
    QString username;
    quint16 port = 0;
    std::optional<QString> connectHost;
    quint16 connectPort = 0;
    bool demo = false;
    QString workdir;        // --demo only
    // "light" or "dark"; empty: the desktop's.
    QString colorScheme;
    // Render every screen into this folder and quit, instead of opening the window.
    std::optional<QString> screenshots;
    QSize screenshotSize{800, 600};
};

// Throws GuiUsageError with a message fit for stderr.
GuiOptions parseGuiOptions(const QStringList& args);

// The organisation's profile may offer the demonstration as --demo does.
void offerDemo(GuiOptions& options, bool enabledByProfile);

extern const char* const kGuiUsage;

// A program installed beside `kivo`, or in the build tree's cli folder.
QString siblingProgram(const QString& name);

} // namespace kivo::gui
