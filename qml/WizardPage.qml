import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One wizard screen: a scrolling body and a button row that never scrolls away.
FocusScope {
    id: screen
    property string title
    property string subtitle
    default property alias content: body.data
    property alias buttons: buttonRow.data

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 20
        spacing: 10
        KHeading {
            text: screen.title
            visible: text !== ""
            Layout.fillWidth: true
        }
        KText {
            text: screen.subtitle
            visible: text !== ""
            Layout.fillWidth: true
        }
        ScrollView {
            id: scroll
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth
            clip: true
            ColumnLayout {
                id: body
                width: scroll.availableWidth
                spacing: 10
            }
        }
        RowLayout {
            id: buttonRow
            Layout.fillWidth: true
            spacing: 8
        }
    }
}
