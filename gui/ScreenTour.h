// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QSize>
#include <QString>
#include <QStringList>

namespace kivo::gui {

// What a tour of the screens left behind.
struct TourResult {
    QStringList written;  // the images, in the order taken
    QStringList problems; // QML warnings, modules that did not load, images not written
};

// Renders every screen and sheet of both roles at `size` into
// `folder`/<view>-<role>.png ("any" for the screens before a role is chosen).
// Each screen runs over a session of its own on the demonstration's sample
// home in a temporary folder: no peer, no network announcement, and no file
// of the user's home read or written. Needs a QGuiApplication.
TourResult takeScreenshots(const QString& folder, QSize size);

} // namespace kivo::gui
