// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    readonly property bool isSource: appState.roleName === "source"
    readonly property var profile: appState.profileManager
    readonly property bool thunderboltAllowed: profile === null || profile.allowedConnectionTypes.indexOf("thunderbolt") >= 0
    readonly property bool searching: !isSource && appState.peers.length === 0
    icon: isSource ? "broadcast" : "search"
    title: isSource ? "Waiting for Connection" : appState.say("Find Your Source Mac")
    subtitle: isSource ? appState.say("The destination Mac will find and connect to this computer.")
                       : appState.say("Looking for Macs running kivo on your network.")

    Card {
        visible: view.isSource
        RowLayout {
            spacing: Theme.m
            Layout.fillWidth: true
            BusyIndicator {
                running: view.isSource
                implicitWidth: 32
                implicitHeight: 32
                Accessible.name: "Waiting"
            }
            KText {
                text: "Broadcasting as " + view.appState.hostName
                font.weight: Font.DemiBold
                Layout.fillWidth: true
            }
        }
    }

    Banner {
        visible: !view.isSource && view.appState.thunderboltDetected && view.thunderboltAllowed
        title: "Thunderbolt Connected"
        text: "Direct cable detected — fastest transfer option."
    }

    Card {
        visible: view.searching
        RowLayout {
            spacing: Theme.m
            Layout.fillWidth: true
            BusyIndicator {
                running: view.searching
                implicitWidth: 32
                implicitHeight: 32
                Accessible.name: "Waiting"
                Layout.alignment: Qt.AlignTop
            }
            ColumnLayout {
                spacing: Theme.xs
                Layout.fillWidth: true
                KText { text: view.appState.say("Searching for nearby Macs…"); font.weight: Font.DemiBold; Layout.fillWidth: true }
                KNote {
                    text: view.appState.say("Make sure kivo is open on the source Mac and both are on the same network.")
                    Layout.fillWidth: true
                }
            }
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
            padding: Theme.m
            background: Rectangle {
                radius: Theme.radius
                color: row.down ? Theme.accentSoft : Theme.card
                border.width: row.visualFocus || row.hovered ? 2 : 1
                border.color: row.visualFocus || row.hovered ? Theme.accent : Theme.cardBorder
            }
            contentItem: RowLayout {
                spacing: Theme.m
                Icon { name: "source"; size: 36 }
                ColumnLayout {
                    spacing: 2
                    Layout.fillWidth: true
                    KText { text: row.modelData.hostname; font.weight: Font.DemiBold; Layout.fillWidth: true }
                    KNote { text: row.modelData.username; Layout.fillWidth: true }
                }
                KNote { text: row.modelData.transport }
                KText { text: "›"; font.pixelSize: Theme.headingSize; color: Theme.subtleText; Accessible.ignored: true }
            }
            onClicked: view.appState.choosePeer(modelData.id)
        }
    }

    Banner {
        visible: view.appState.connectionErrorText !== ""
        kind: "danger"
        text: view.appState.connectionErrorText
    }

    buttons: [
        KButton {
            text: "Back"
            onClicked: view.appState.leaveDiscovery()
        },
        Item { Layout.fillWidth: true }
    ]
}
