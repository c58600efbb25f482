// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Layouts

// A name and its value on one line of a summary.
RowLayout {
    id: row
    property string label
    property string value
    spacing: Theme.m
    Layout.fillWidth: true
    KNote {
        text: row.label
        wrapMode: Text.NoWrap
        elide: Text.ElideRight
        Layout.fillWidth: true
    }
    KText {
        text: row.value
        wrapMode: Text.NoWrap
        horizontalAlignment: Text.AlignRight
    }
}
