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
    readonly property bool transferring: stateName === "transferring"

    readonly property string stateName: coordinator !== null ? coordinator.stateDescription.split("(")[0] : ""
    // The states a run stops in; in any other it is still at work.
    readonly property bool ended: ["missingKeys", "attestationFailed", "complete", "failed"].indexOf(stateName) >= 0
    centerVertically: true
    showsActions: false
    // The shield while the run goes on; its end shows how it went.
    icon: stateName === "complete" ? "success" : ended ? "issues" : "managed"
    iconColor: stateName === "complete" ? Theme.success : ended ? Theme.warning : Theme.accent
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
        color: Theme.subtleText
        font.pixelSize: Theme.titleSize
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
    }
    BusyIndicator {
        visible: !view.transferring && !view.ended
        running: visible
        Accessible.name: "Working"
        Layout.alignment: Qt.AlignHCenter
        Layout.topMargin: Theme.s
    }
    KProgress {
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
