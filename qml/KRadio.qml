// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls

// A radio button that shows the session's value: it never checks itself, the
// click asks the session and the binding follows.
RadioButton {
    checkable: false
    font.pixelSize: Theme.bodySize
    // The style outlines the mark in a shade of the window colour, which a dark window swallows.
    palette.window: Theme.dark ? Qt.lighter(Theme.palette.window, 2.6) : Theme.palette.window
    Accessible.name: text
    Accessible.onPressAction: if (enabled) clicked()
    Keys.onReturnPressed: if (enabled) clicked()
    Keys.onEnterPressed: if (enabled) clicked()
}
