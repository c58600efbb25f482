import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The steps of the chosen role, the current one marked.
Flow {
    id: indicator
    required property var appState
    spacing: 6
    Accessible.role: Accessible.List
    Accessible.name: "Steps"
    Repeater {
        model: indicator.appState.roleSteps
        delegate: Row {
            id: step
            required property var modelData
            required property int index
            readonly property bool current: modelData.value === indicator.appState.stepValue
            spacing: 6
            Label {
                visible: step.index > 0
                text: "›"
                opacity: 0.6
                Accessible.ignored: true
            }
            Label {
                text: step.modelData.title
                font.bold: step.current
                opacity: step.current ? 1.0 : 0.6
                Accessible.role: Accessible.ListItem
                Accessible.name: text
            }
        }
    }
}
