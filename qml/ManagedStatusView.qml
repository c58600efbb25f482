import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The unattended migration's status under a managed deployment.
WizardPage {
    id: view
    required property var appState
    required property var feed
    readonly property var coordinator: appState.managedCoordinator
    readonly property var profile: appState.profileManager
    readonly property string stateName: coordinator !== null ? String(coordinator.stateName) : ""
    title: profile !== null && !!profile.brandingName ? "Managed by " + profile.brandingName : "Managed Migration"
    subtitle: coordinator !== null ? String(coordinator.title) : ""

    KText {
        visible: text !== ""
        text: view.coordinator !== null ? String(view.coordinator.detail) : ""
        Layout.fillWidth: true
    }
    ProgressBar {
        visible: view.stateName === "transferring"
        value: view.feed.fraction
        Accessible.name: "Transfer progress"
        Layout.fillWidth: true
    }
    KText {
        visible: view.stateName === "transferring"
        text: view.feed.transferredText + (view.feed.currentFile !== "" ? " — " + view.feed.currentFile : "")
        Layout.fillWidth: true
    }
    Component.onCompleted: if (appState.bootstrapManagedModeIfNeeded) appState.bootstrapManagedModeIfNeeded()
}
