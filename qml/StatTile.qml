// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Layouts

// One figure with its name above it.
ColumnLayout {
    property string label
    property string value
    spacing: 2
    Layout.fillWidth: true
    Layout.preferredWidth: 1
    KNote {
        text: parent.label
        font.pixelSize: Theme.captionSize
        wrapMode: Text.NoWrap
        elide: Text.ElideRight
        Layout.fillWidth: true
    }
    KText {
        text: parent.value
        font.pixelSize: Theme.titleSize + 2
        font.weight: Font.DemiBold
        wrapMode: Text.NoWrap
        elide: Text.ElideRight
        Layout.fillWidth: true
    }
}
