// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls

// A check box bound to the session's selection, like KRadio.
CheckBox {
    checkable: false
    font.pixelSize: Theme.bodySize
    // The style outlines the mark in a shade of the window colour, which a dark window swallows.
    palette.window: Theme.dark ? Qt.lighter(Theme.palette.window, 2.6) : Theme.palette.window
    Accessible.name: text
    Accessible.onPressAction: if (enabled) clicked()
    Accessible.onToggleAction: if (enabled) clicked()
    Keys.onReturnPressed: if (enabled) clicked()
    Keys.onEnterPressed: if (enabled) clicked()
}
