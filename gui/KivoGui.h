// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QVariantMap>

class QQmlApplicationEngine;
class QQuickWindow;

namespace kivo {
class AppState;
}

namespace kivo::gui {

class ProgressFeed;

// Makes the session's types known to the screens; once per process.
void registerTypes();

// Prepares an engine to load the screens: the module's import path and the
// style (Fusion, unless QT_QUICK_CONTROLS_STYLE names another).
void prepareEngine(QQmlApplicationEngine& engine);

// Loads the main window over a session; null (and the reasons on stderr) when it does not load.
QQuickWindow* loadMainWindow(QQmlApplicationEngine& engine, AppState* state, ProgressFeed* feed);

} // namespace kivo::gui
