import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    readonly property bool isSource: appState.roleName === "source"
    readonly property bool expired: isSource && appState.pairingExpired
    property real secondsLeft: appState.pairingSecondsRemaining()
    title: isSource ? (expired ? "Session Expired" : "Enter This Code on the Other Mac")
                    : "Enter the Code from the Source Mac"
    subtitle: isSource ? (expired ? "The pairing window has closed." : "Read this code to the person at the other Mac.")
                       : "Type the 6-digit code shown on the other Mac."

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

    // Source: the code and its window.
    RowLayout {
        visible: view.isSource && !view.expired
        spacing: 8
        Accessible.role: Accessible.StaticText
        Accessible.name: "Pairing code " + view.appState.pairingCodeText.split("").join(" ")
        Repeater {
            model: view.appState.pairingCodeText.split("")
            delegate: Rectangle {
                required property string modelData
                implicitWidth: 48
                implicitHeight: 58
                radius: 6
                border.color: "#a0a0a0"
                Text {
                    anchors.centerIn: parent
                    text: parent.modelData
                    font.pixelSize: 30
                    font.bold: true
                }
            }
        }
    }
    CountdownRing {
        visible: view.isSource && !view.expired
        seconds: view.secondsLeft
    }
    KText {
        visible: view.isSource && !view.expired
        text: "This code ensures you're connecting to the right Mac."
        Layout.fillWidth: true
    }

    // Destination: the six boxes.
    CodeEntry {
        id: codeEntry
        visible: !view.isSource
        busy: view.appState.pairingInProgress
        onEntered: (code) => view.appState.submitCode(code)
    }
    KText {
        visible: !view.isSource
        text: "Connecting to " + (view.appState.peerHostname !== "" ? view.appState.peerHostname : "the source Mac")
        Layout.fillWidth: true
    }
    KText {
        visible: !view.isSource && view.appState.peerConnected && view.appState.transportName !== ""
        text: "Connected via " + view.appState.transportName
        Layout.fillWidth: true
    }
    KText {
        visible: !view.isSource && text !== ""
        text: view.appState.pairingErrorText
        color: "#b00020"
        Layout.fillWidth: true
    }
    KText {
        visible: !view.isSource && text !== ""
        text: view.appState.connectionErrorText
        color: "#b00020"
        Layout.fillWidth: true
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
