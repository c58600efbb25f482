import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The unattended migration's status under a managed deployment. The
// coordinator's `state` is read as {kind, keys, reason, peerName}.
WizardPage {
    id: view
    required property var appState
    required property var feed
    readonly property var coordinator: appState.managedCoordinator
    readonly property var profile: appState.profileManager
    readonly property var state: coordinator !== null && coordinator.state ? coordinator.state : null
    readonly property string kind: state !== null ? String(state.kind) : ""

    function titleOf(s) {
        switch (kind) {
        case "validating": return "Preparing"
        case "missingKeys": return "Configuration incomplete"
        case "attestationFailed": return "Device not enrolled"
        case "awaitingPeer": return "Looking for source Mac"
        case "attestating": return "Verifying " + s.peerName
        case "sourceRejected": return "Source not allowed"
        case "pairing": return "Pairing with " + s.peerName
        case "ready": return "Connected to " + s.peerName
        case "transferring": return "Migrating"
        case "complete": return "Migration complete"
        case "failed": return "Migration failed"
        }
        return ""
    }
    function detailOf(s) {
        switch (kind) {
        case "validating": return "Reading your organisation's configuration."
        case "missingKeys": return "The configuration profile is missing required keys:\n" + s.keys.join(", ")
        case "attestationFailed": return "kivo can't run in managed mode on a device that isn't MDM-enrolled.\n" + s.reason
        case "awaitingPeer": return "Plug in your old Mac (Thunderbolt) or put both Macs on the same network and launch kivo there."
        case "attestating": return "Checking that the other Mac is permitted to send data."
        case "sourceRejected": return "The other Mac isn't enrolled with your organisation.\n" + s.reason
        case "pairing": return "Establishing a secure connection."
        case "ready": return "Ready to transfer."
        case "transferring": return "Receiving your data. This screen updates as files arrive."
        case "complete": return "Your data has been transferred. You can quit kivo now."
        case "failed": return s.reason
        }
        return ""
    }

    title: profile !== null && !!profile.brandingName ? "Managed by " + profile.brandingName : "Managed Migration"
    subtitle: state !== null ? titleOf(state) : ""

    KText {
        visible: text !== ""
        text: view.state !== null ? view.detailOf(view.state) : ""
        Layout.fillWidth: true
    }
    ProgressBar {
        visible: view.kind === "transferring"
        value: view.feed.fraction
        Accessible.name: "Transfer progress"
        Layout.fillWidth: true
    }
    KText {
        visible: view.kind === "transferring"
        text: view.feed.transferredText + (view.feed.currentFile !== "" ? " — " + view.feed.currentFile : "")
        Layout.fillWidth: true
    }
    Component.onCompleted: if (typeof appState.bootstrapManagedModeIfNeeded === "function") appState.bootstrapManagedModeIfNeeded()
}
