// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The unattended migration's status under a managed deployment: the
// coordinator's own title and detail for its state.
WizardPage {
    id: view
    required property var appState
    required property var feed
    readonly property var coordinator: appState.managedCoordinator
    readonly property var profile: appState.profileManager
    readonly property bool transferring: coordinator !== null && coordinator.stateDescription === "transferring"

    icon: "managed"
    title: profile !== null && profile.brandingName !== "" ? "Managed by " + profile.brandingName : "Managed Migration"

    KText {
        visible: text !== ""
        text: view.coordinator !== null ? view.appState.say(view.coordinator.title) : ""
        font.pixelSize: Theme.titleSize + 2
        font.weight: Font.DemiBold
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
    }
    KText {
        visible: text !== ""
        text: view.coordinator !== null ? view.appState.say(view.coordinator.detail) : ""
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
    }
    ProgressBar {
        visible: view.transferring
        value: view.feed.fraction
        Accessible.name: "Transfer progress"
        Layout.fillWidth: true
    }
    KText {
        visible: view.transferring
        text: view.feed.transferredText + (view.feed.currentFile !== "" ? " — " + view.feed.currentFile : "")
        Layout.fillWidth: true
    }
    Component.onCompleted: appState.bootstrapManagedModeIfNeeded()
}
