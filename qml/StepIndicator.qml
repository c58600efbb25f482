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
        delegate: Label {
            required property var modelData
            required property int index
            readonly property bool current: modelData.value === indicator.appState.stepValue
            text: (index > 0 ? "›  " : "") + modelData.title
            font.bold: current
            opacity: current ? 1.0 : 0.6
            Accessible.role: Accessible.ListItem
            Accessible.name: modelData.title
        }
    }
}
