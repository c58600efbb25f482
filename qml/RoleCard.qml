import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A role choice: a title and what it means.
KButton {
    id: card
    property string detail
    Layout.fillWidth: true
    Accessible.description: detail
    contentItem: ColumnLayout {
        spacing: 4
        KText {
            text: card.text
            font.bold: true
            font.pixelSize: 18
            Layout.fillWidth: true
        }
        KText {
            text: card.detail
            Layout.fillWidth: true
        }
    }
}
