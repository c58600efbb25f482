import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    readonly property bool isSource: appState.roleName === "source"
    readonly property var profile: appState.profileManager
    readonly property bool thunderboltAllowed: profile === null || profile.allowedConnectionTypes.indexOf("thunderbolt") >= 0
    title: isSource ? "Waiting for Connection" : "Find Your Source Mac"
    subtitle: isSource ? "The destination Mac will find and connect to this computer."
                       : "Looking for Macs running kivo on your network."

    KText {
        visible: view.isSource
        text: "Broadcasting as " + view.appState.hostName
        Layout.fillWidth: true
    }
    BusyIndicator {
        visible: view.isSource || view.appState.peers.length === 0
        running: visible
        Accessible.name: "Waiting"
    }

    ColumnLayout {
        visible: !view.isSource && view.appState.thunderboltDetected && view.thunderboltAllowed
        Layout.fillWidth: true
        KText { text: "Thunderbolt Connected"; font.bold: true; Layout.fillWidth: true }
        KText { text: "Direct cable detected — fastest transfer option."; Layout.fillWidth: true }
    }

    ColumnLayout {
        visible: !view.isSource && view.appState.peers.length === 0
        Layout.fillWidth: true
        KText { text: "Searching for nearby Macs…"; Layout.fillWidth: true }
        KText {
            text: "Make sure kivo is open on the source Mac and both are on the same network."
            Layout.fillWidth: true
        }
    }

    Repeater {
        model: view.isSource ? [] : view.appState.peers
        delegate: KButton {
            id: row
            required property var modelData
            text: modelData.hostname
            Accessible.description: modelData.username + ", " + modelData.transport
            Layout.fillWidth: true
            contentItem: RowLayout {
                KText { text: row.modelData.hostname; font.bold: true; Layout.fillWidth: true }
                KText { text: row.modelData.username }
                KText { text: row.modelData.transport }
            }
            onClicked: view.appState.choosePeer(modelData.id)
        }
    }

    KText {
        visible: text !== ""
        text: view.appState.connectionErrorText
        color: "#b00020"
        Layout.fillWidth: true
    }

    buttons: [
        KButton {
            text: "Back"
            onClicked: view.appState.leaveDiscovery()
        },
        Item { Layout.fillWidth: true }
    ]
}
