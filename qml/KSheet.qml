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
    anchors.centerIn: Overlay.overlay
    width: Math.min(560, (parent ? parent.width : 600) - 40)
    height: Math.min(implicitHeight, (parent ? parent.height : 500) - 40)

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
                spacing: 8
            }
        }
        RowLayout {
            id: buttonRow
            Layout.fillWidth: true
            spacing: 8
        }
    }
}
