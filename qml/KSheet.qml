// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A modal sheet over the window; Esc closes it.
Dialog {
    id: sheet
    default property alias content: body.data
    property alias buttons: buttonRow.data
    modal: true
    focus: true
    closePolicy: Popup.CloseOnEscape
    // Sized by the window, not by whatever small item declares the sheet.
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: Math.min(Theme.columnWidth, (parent ? parent.width : 600) - 2 * Theme.xl)
    padding: Theme.xl
    topPadding: Theme.l
    height: Math.min(implicitHeight, (parent ? parent.height : 500) - 40)

    Overlay.modal: Rectangle { color: Theme.scrim }
    background: Rectangle {
        color: Theme.palette.window
        radius: Theme.radius
        border.color: Theme.cardBorder
    }
    header: Label {
        text: sheet.title
        font.pixelSize: Theme.titleSize
        font.bold: true
        color: Theme.text
        elide: Text.ElideRight
        leftPadding: Theme.xl
        rightPadding: Theme.xl
        topPadding: Theme.l
        Accessible.role: Accessible.Heading
    }

    contentItem: ColumnLayout {
        spacing: 10
        Accessible.role: Accessible.Dialog
        Accessible.name: sheet.title
        ScrollView {
            id: scroll
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.preferredHeight: body.implicitHeight
            contentWidth: availableWidth
            clip: true
            ColumnLayout {
                id: body
                width: scroll.availableWidth
                spacing: Theme.m
            }
        }
        RowLayout {
            id: buttonRow
            Layout.fillWidth: true
            Layout.topMargin: Theme.s
            spacing: Theme.s
        }
    }
}
