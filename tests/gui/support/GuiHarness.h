// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/AppState.h"
#include "gui/ProgressFeed.h"
#include "support/ManualClock.h"

#include <QQmlApplicationEngine>
#include <QSize>
#include <QStringList>

#include <memory>

class QAccessibleInterface;
class QQuickItem;
class QQuickWindow;

namespace kivo::test {

// The desktop application's window over a real session in this process,
// with the pairing window and the progress screen on a manual clock. Every
// QML warning is kept, and the test fails when the harness goes with any.
class GuiHarness {
public:
    explicit GuiHarness(SessionEnvironment environment, QSize size = {900, 660});
    ~GuiHarness();

    AppState& state() { return *m_state; }
    ManualClock& clock() { return *m_clock; }
    QQuickWindow* window() const { return m_window; }

    // Lets bindings, loaders and layouts catch up.
    void settle();
    // Texts of every visible item that has one (labels, buttons, fields), in tree order.
    QStringList visibleTexts();
    bool showsText(const QString& text) { return visibleTexts().contains(text); }
    // Visible items that overlap another visible text item, or stick out of the window.
    QStringList layoutProblems();

    // The accessible element of that name, as a screen reader finds it; null when none.
    QAccessibleInterface* accessible(const QString& name);
    // Visible controls a screen reader could not name.
    QStringList unnamedControls();
    // The accessible name of the control that has the keyboard focus.
    QString focusedName();
    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    // A screen reader's press on the element of that name; false when none is there or it is disabled.
    bool press(const QString& name);
    bool waitForText(const QString& text, std::chrono::milliseconds deadline = std::chrono::seconds(30));
    bool waitForStep(MigrationStep step, std::chrono::milliseconds deadline = std::chrono::seconds(60));
    // Saves a grab as <folder>/<name>.png; the folder is printed once per process.
    void screenshot(const QString& name);

private:
    std::shared_ptr<ManualClock> m_clock;
    std::unique_ptr<AppState> m_state;
    std::unique_ptr<gui::ProgressFeed> m_feed;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow* m_window = nullptr;
    QStringList m_warnings;
};

} // namespace kivo::test
