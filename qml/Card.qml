// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Layouts

// A raised group of related lines on the base colour.
Rectangle {
    id: card
    default property alias content: inner.data
    property int padding: Theme.l
    property alias spacing: inner.spacing
    Layout.fillWidth: true
    implicitHeight: inner.implicitHeight + 2 * padding
    implicitWidth: inner.implicitWidth + 2 * padding
    radius: Theme.radius
    color: Theme.card
    border.color: Theme.cardBorder
    ColumnLayout {
        id: inner
        x: card.padding
        y: card.padding
        width: card.width - 2 * card.padding
        spacing: Theme.s
    }
}
