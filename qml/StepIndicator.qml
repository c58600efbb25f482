// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The steps of the chosen role as numbered marks joined by a line: done ones
// ticked, the current one filled and named.
RowLayout {
    id: indicator
    required property var appState
    spacing: 0
    Accessible.role: Accessible.List
    Accessible.name: "Steps"
    Repeater {
        model: indicator.appState.roleSteps
        delegate: RowLayout {
            id: step
            required property var modelData
            required property int index
            readonly property int currentValue: indicator.appState.stepValue
            readonly property bool current: modelData.value === currentValue
            readonly property bool done: modelData.value < currentValue
            spacing: Theme.s
            Rectangle {
                visible: step.index > 0
                implicitWidth: Theme.l
                implicitHeight: 2
                color: step.done || step.current ? Theme.accent : Theme.cardBorder
                Layout.leftMargin: Theme.xs
                Layout.rightMargin: Theme.xs
            }
            Rectangle {
                implicitWidth: 24
                implicitHeight: 24
                radius: 12
                color: step.current ? Theme.accent : step.done ? Theme.accentSoft : "transparent"
                border.color: step.current || step.done ? Theme.accent : Theme.cardBorder
                border.width: 1.5
                Accessible.role: Accessible.ListItem
                Accessible.name: step.modelData.title
                Accessible.selected: step.current
                Label {
                    anchors.centerIn: parent
                    text: step.done ? "✓" : String(step.index + 1)
                    font.pixelSize: Theme.captionSize
                    font.bold: true
                    color: step.current ? Theme.palette.highlightedText : step.done ? Theme.accent : Theme.subtleText
                    Accessible.ignored: true
                }
            }
            Label {
                visible: step.current
                text: step.modelData.title
                font.pixelSize: Theme.bodySize
                font.weight: Font.DemiBold
                color: Theme.text
                Accessible.ignored: true
            }
        }
    }
}
