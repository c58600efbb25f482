// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One wizard screen: a readable column centred in the window (an icon, the
// title, what the screen is for, then its content), and an action bar that
// never scrolls away. A screen with an icon centres its title as a status
// page does; a form keeps it to the left.
FocusScope {
    id: screen
    property string title
    property string subtitle
    property string icon
    property color iconColor: Theme.accent
    readonly property bool centered: icon !== ""
    // A status page with little on it sits in the middle of the window.
    property bool centerVertically: false
    // A page nobody acts on has no action bar.
    property bool showsActions: true
    default property alias content: body.data
    property alias buttons: buttonRow.data

    ColumnLayout {
        anchors.fill: parent
        spacing: 0
        ScrollView {
            id: scroll
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth
            clip: true
            // Keyboard focus moving to a control out of sight scrolls it into view.
            function reveal(item) {
                const flick = scroll.contentItem
                let inside = item
                while (inside && inside !== column)
                    inside = inside.parent
                if (!inside || !flick)
                    return
                const top = item.mapToItem(flick.contentItem, 0, 0).y - Theme.m
                const bottom = top + item.height + 2 * Theme.m
                if (top < flick.contentY)
                    flick.contentY = Math.max(0, top)
                else if (bottom > flick.contentY + flick.height)
                    flick.contentY = Math.min(flick.contentHeight - flick.height, bottom - flick.height)
            }
            Connections {
                target: screen.Window.window
                function onActiveFocusItemChanged() { scroll.reveal(screen.Window.window.activeFocusItem) }
            }
            Item {
                width: scroll.availableWidth
                implicitHeight: column.implicitHeight + 2 * Theme.xl
                ColumnLayout {
                    id: column
                    width: Math.min(Theme.columnWidth, parent.width - 2 * Theme.xl)
                    x: (parent.width - width) / 2
                    // Only ever moved down where the content is shorter than the view, so it never scrolls.
                    y: screen.centerVertically ? Math.max(Theme.xl, (scroll.height - implicitHeight) / 2) : Theme.xl
                    spacing: Theme.s
                    Icon {
                        visible: screen.icon !== ""
                        name: screen.icon
                        color: screen.iconColor
                        size: 72
                        Layout.alignment: Qt.AlignHCenter
                        Layout.bottomMargin: Theme.s
                    }
                    KHeading {
                        text: screen.title
                        visible: text !== ""
                        horizontalAlignment: screen.centered ? Text.AlignHCenter : Text.AlignLeft
                        Layout.fillWidth: true
                    }
                    KNote {
                        text: screen.subtitle
                        visible: text !== ""
                        font.pixelSize: Theme.titleSize
                        horizontalAlignment: screen.centered ? Text.AlignHCenter : Text.AlignLeft
                        Layout.fillWidth: true
                    }
                    ColumnLayout {
                        id: body
                        Layout.fillWidth: true
                        Layout.topMargin: Theme.l
                        spacing: Theme.m
                    }
                }
            }
        }
        Rectangle {
            visible: screen.showsActions
            Layout.fillWidth: true
            implicitHeight: 1
            color: Theme.separator
        }
        Rectangle {
            visible: screen.showsActions
            Layout.fillWidth: true
            implicitHeight: buttonRow.implicitHeight + 2 * Theme.m
            color: Theme.bar
            RowLayout {
                id: buttonRow
                width: Math.min(Theme.columnWidth, parent.width - 2 * Theme.xl)
                x: (parent.width - width) / 2
                anchors.verticalCenter: parent.verticalCenter
                spacing: Theme.s
            }
        }
    }
}
