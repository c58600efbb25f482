// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Layouts

// A highlighted notice: a title and what it means, in the colour of its kind
// ("info", "warning" or "danger").
Rectangle {
    id: banner
    property string title
    property string text
    property string kind: "info"
    readonly property color tone: kind === "danger" ? Theme.danger : kind === "warning" ? Theme.warning : Theme.accent
    Layout.fillWidth: true
    implicitHeight: row.implicitHeight + 2 * Theme.m
    radius: Theme.radius
    color: kind === "danger" ? Theme.dangerSoft : kind === "warning" ? Theme.warningSoft : Theme.accentSoft
    border.color: Qt.rgba(tone.r, tone.g, tone.b, 0.45)
    Accessible.role: Accessible.AlertMessage
    Accessible.name: title
    Accessible.description: text
    RowLayout {
        id: row
        x: Theme.m
        y: Theme.m
        width: banner.width - 2 * Theme.m
        spacing: Theme.m
        Icon {
            name: banner.kind === "info" ? "info" : "warning"
            color: banner.tone
            size: 24
            Layout.alignment: Qt.AlignTop
        }
        ColumnLayout {
            spacing: 2
            Layout.fillWidth: true
            KText {
                visible: text !== ""
                text: banner.title
                font.bold: true
                Layout.fillWidth: true
            }
            KText {
                visible: text !== ""
                text: banner.text
                Layout.fillWidth: true
            }
        }
    }
}
