// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A role choice: an icon, a title and what it means, as one large button.
KButton {
    id: card
    property string detail
    property string glyph
    Layout.fillWidth: true
    Layout.preferredWidth: 1
    Accessible.description: detail
    // All four sides: a push button's own top and bottom padding would win over `padding`.
    padding: Theme.xl
    topPadding: Theme.xl
    bottomPadding: Theme.xl
    background: Rectangle {
        radius: Theme.radius
        color: card.down ? Theme.accentSoft : Theme.card
        border.width: card.visualFocus || card.hovered ? 2 : 1
        border.color: card.visualFocus || card.hovered ? Theme.accent : Theme.cardBorder
    }
    contentItem: ColumnLayout {
        spacing: Theme.s
        Icon {
            name: card.glyph
            size: 64
            Layout.alignment: Qt.AlignHCenter
            Layout.bottomMargin: Theme.s
        }
        KText {
            text: card.text
            font.pixelSize: Theme.titleSize + 2
            font.weight: Font.DemiBold
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
        }
        KNote {
            text: card.detail
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
        }
    }
}
