// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls

// A line of text a screen reader reads as it is shown.
Label {
    wrapMode: Text.Wrap
    font.pixelSize: Theme.bodySize
    color: Theme.text
    Accessible.role: Accessible.StaticText
    Accessible.name: text
}
