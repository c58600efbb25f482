// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls

// A push button that Enter activates as well as Space, and that answers a
// screen reader's press action (the stock one ignores it).
Button {
    font.pixelSize: Theme.bodySize
    leftPadding: Theme.l
    rightPadding: Theme.l
    topPadding: Theme.s
    bottomPadding: Theme.s
    implicitWidth: Math.max(88, implicitContentWidth + leftPadding + rightPadding)
    Accessible.name: text
    Accessible.onPressAction: if (enabled) clicked()
    Keys.onReturnPressed: if (enabled) clicked()
    Keys.onEnterPressed: if (enabled) clicked()
}
