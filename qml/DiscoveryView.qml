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
    // Without service discovery the peers connect by address.
    readonly property bool discoveryFailed: appState.discoveryNotice !== ""
    readonly property bool searching: !isSource && appState.peers.length === 0 && !discoveryFailed
    property bool addressEntryOpen: false
    readonly property bool showsAddressEntry: !isSource && !appState.demoMode && (discoveryFailed || addressEntryOpen)
    icon: isSource ? "broadcast" : "search"
    title: isSource ? "Waiting for Connection" : appState.say("Find Your Source Mac")
    subtitle: isSource ? (discoveryFailed ? appState.say("The destination Mac will connect to this computer by its address.")
                                          : appState.say("The destination Mac will find and connect to this computer."))
                       : (discoveryFailed ? appState.say("Connect to the source Mac by its address.")
                                          : appState.say("Looking for Macs running kivo on your network."))

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
                text: view.discoveryFailed ? view.appState.say("Waiting for the destination Mac to connect")
                                           : "Broadcasting as " + view.appState.hostName
                font.weight: Font.DemiBold
                Layout.fillWidth: true
            }
        }
    }

    Banner {
        visible: view.discoveryFailed
        kind: "warning"
        title: view.appState.say("Service discovery is not available on this Mac")
        text: view.appState.discoveryNotice
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

    Card {
        visible: view.showsAddressEntry
        KText { text: "Connect by Address"; font.weight: Font.DemiBold; Layout.fillWidth: true }
        KNote {
            text: view.appState.say("Enter the address and port the source Mac shows on its waiting screen. The code comes next.")
            Layout.fillWidth: true
        }
        RowLayout {
            spacing: Theme.s
            Layout.fillWidth: true
            TextField {
                id: addressField
                placeholderText: "192.168.1.20:47011"
                Accessible.name: "Source address"
                inputMethodHints: Qt.ImhNoAutoUppercase | Qt.ImhNoPredictiveText | Qt.ImhUrlCharactersOnly
                leftPadding: Theme.s
                rightPadding: Theme.s
                Layout.fillWidth: true
                // Framed: on the card's colour the style's own field would not stand out.
                background: Rectangle {
                    implicitWidth: 200
                    implicitHeight: connectButton.implicitHeight
                    radius: 4
                    color: Theme.palette.base
                    border.width: addressField.activeFocus ? 2 : 1
                    border.color: addressField.activeFocus ? Theme.accent
                                : view.appState.addressErrorText !== "" ? Theme.danger
                                : Qt.rgba(Theme.text.r, Theme.text.g, Theme.text.b, 0.35)
                }
                onAccepted: connectButton.clicked()
            }
            KButton {
                id: connectButton
                text: "Connect"
                onClicked: view.appState.connectToAddress(addressField.text)
            }
        }
        KText {
            visible: text !== ""
            text: view.appState.addressErrorText
            color: Theme.danger
            Accessible.role: Accessible.AlertMessage
            Layout.fillWidth: true
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
        Item { Layout.fillWidth: true },
        KButton {
            text: "Connect by Address…"
            visible: !view.isSource && !view.showsAddressEntry && !view.appState.demoMode
            onClicked: {
                view.addressEntryOpen = true
                addressField.forceActiveFocus()
            }
        }
    ]
}
