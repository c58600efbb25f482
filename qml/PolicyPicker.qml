// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The conflict policy as a radio group; disabled with `lockedText` when the profile fixes it.
ColumnLayout {
    id: picker
    required property var appState
    property bool locked: false
    property string lockedText
    // The profile's policy, when it fixes one: shown as the choice.
    property string lockedPolicy
    readonly property string policy: locked && lockedPolicy !== "" ? lockedPolicy : appState.conflictPolicyName
    Layout.fillWidth: true
    Accessible.role: Accessible.Grouping
    Accessible.name: "If a file already exists on the destination"

    KSection { text: "If a file already exists on the destination"; topPadding: 0; Layout.fillWidth: true }
    Repeater {
        model: [
            { name: "skip", label: "Skip existing files" },
            { name: "overwrite", label: "Overwrite destination" },
            { name: "keepNewer", label: "Keep the newer file" },
            { name: "ask", label: "Ask for each conflict" }
        ]
        delegate: KRadio {
            required property var modelData
            text: modelData.label
            enabled: !picker.locked
            checked: picker.policy === modelData.name
            onClicked: picker.appState.conflictPolicyName = modelData.name
        }
    }
    KText {
        visible: picker.policy === "ask"
        text: "‘Ask’ is not yet implemented in the UI — for now this behaves like Skip. Pick another option to control the behavior."
        Layout.fillWidth: true
    }
    KText {
        visible: picker.locked
        text: picker.lockedText
        color: Theme.subtleText
        Layout.fillWidth: true
    }
}
