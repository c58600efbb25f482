// SPDX-License-Identifier: Apache-2.0
import QtQuick

// One of a few buttons that together hold a choice: the chosen one is tinted
// with the accent (the style's pressed look does not show on a dark palette)
// and none of them is a default. `chosen` follows the model, never a click.
KButton {
    id: choice
    property bool chosen: false
    Accessible.checkable: true
    Accessible.checked: chosen
    Rectangle {
        anchors.fill: parent
        visible: choice.chosen
        radius: 3
        color: Theme.accentSoft
        border.color: Theme.accent
        border.width: 1.5
    }
}
