// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    readonly property bool isSource: appState.roleName === "source"
    readonly property bool expired: isSource && appState.pairingExpired
    property real secondsLeft: appState.pairingSecondsRemaining()
    icon: expired ? "issues" : "lock"
    iconColor: expired ? Theme.warning : Theme.accent
    title: isSource ? (expired ? "Session Expired" : appState.say("Enter This Code on the Other Mac"))
                    : appState.say("Enter the Code from the Source Mac")
    subtitle: isSource ? (expired ? "The pairing window has closed." : appState.say("Read this code to the person at the other Mac."))
                       : appState.say("Type the 6-digit code shown on the other Mac.")

    // Typing starts in the first box.
    Component.onCompleted: if (!isSource) codeEntry.clear()

    // The countdown reads the pairing window's own clock; this only refreshes the figure.
    Timer {
        interval: 250
        repeat: true
        running: view.isSource && !view.expired
        onTriggered: view.secondsLeft = view.appState.pairingSecondsRemaining()
    }
    Connections {
        target: view.appState
        function onPairingCodeChanged() { view.secondsLeft = view.appState.pairingSecondsRemaining() }
        function onPairingErrorTextChanged() {
            if (view.appState.pairingErrorText !== "")
                codeEntry.clear()
        }
    }

    // Source: the code in two groups of three, and its window.
    Card {
        visible: view.isSource && !view.expired
        padding: Theme.xl
        RowLayout {
            spacing: Theme.xl
            Layout.alignment: Qt.AlignHCenter
            KText {
                readonly property string code: view.appState.pairingCodeText
                text: code.length === 6 ? code.slice(0, 3) + " " + code.slice(3) : code
                font.pixelSize: Theme.displaySize + 4
                font.weight: Font.DemiBold
                font.letterSpacing: 6
                font.family: "monospace"
                wrapMode: Text.NoWrap
                Accessible.name: "Pairing code " + code.split("").join(" ")
            }
            CountdownRing {
                seconds: view.secondsLeft
            }
        }
    }
    KNote {
        visible: view.isSource && !view.expired
        text: view.appState.say("This code ensures you're connecting to the right Mac.")
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
    }

    // Destination: the six boxes.
    CodeEntry {
        id: codeEntry
        visible: !view.isSource
        busy: view.appState.pairingInProgress
        Layout.alignment: Qt.AlignHCenter
        onEntered: (code) => view.appState.submitCode(code)
    }
    KNote {
        visible: !view.isSource
        text: "Connecting to " + (view.appState.peerHostname !== "" ? view.appState.peerHostname : view.appState.say("the source Mac"))
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
    }
    KNote {
        visible: !view.isSource && view.appState.peerConnected && view.appState.transportName !== ""
        text: "Connected via " + view.appState.transportName
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
    }
    Banner {
        visible: !view.isSource && text !== ""
        kind: "info"
        text: view.appState.pairingRetryText
    }
    Banner {
        visible: !view.isSource && text !== ""
        kind: "danger"
        text: view.appState.pairingErrorText
    }
    Banner {
        visible: !view.isSource && text !== ""
        kind: "danger"
        text: view.appState.connectionErrorText
    }

    buttons: [
        KButton {
            text: "Cancel"
            onClicked: view.appState.cancelPairing()
        },
        Item { Layout.fillWidth: true },
        KButton {
            text: "Try Again"
            visible: view.expired
            highlighted: true
            onClicked: view.appState.tryPairingAgain()
        }
    ]
}
