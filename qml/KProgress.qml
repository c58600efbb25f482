// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls

// A progress bar whose empty track stays visible on a dark palette, where the
// style's own all but disappears.
ProgressBar {
    background: Rectangle {
        implicitWidth: 200
        implicitHeight: 24
        radius: 3
        color: Qt.rgba(Theme.text.r, Theme.text.g, Theme.text.b, 0.06)
        border.color: Theme.fieldBorder
    }
}
