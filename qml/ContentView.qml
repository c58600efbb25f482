import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The wizard: the step indicator and the one screen of the current step.
FocusScope {
    id: root
    required property var appState
    required property var feed

    ColumnLayout {
        anchors.fill: parent
        spacing: 0
        StepIndicator {
            appState: root.appState
            Layout.fillWidth: true
            Layout.margins: 12
        }
        Rectangle {
            visible: root.appState.demoMode
            color: "#fff3c4"
            Layout.fillWidth: true
            implicitHeight: demoLabel.implicitHeight + 12
            KText {
                id: demoLabel
                anchors.centerIn: parent
                text: "Demo Mode Active"
                font.bold: true
            }
        }
        Loader {
            id: page
            Layout.fillWidth: true
            Layout.fillHeight: true
            focus: true
            sourceComponent: [welcome, role, discovery, pairing, mapping, manifest, preflight, summary,
                              progress, complete][root.appState.stepValue]
            onLoaded: item.forceActiveFocus()
        }
    }

    Component { id: welcome; WelcomeView { appState: root.appState } }
    Component { id: role; RoleSelectionView { appState: root.appState } }
    Component { id: discovery; DiscoveryView { appState: root.appState } }
    Component { id: pairing; PairingCodeView { appState: root.appState } }
    Component { id: mapping; UserMappingView { appState: root.appState } }
    Component { id: manifest; ManifestView { appState: root.appState } }
    Component { id: preflight; PreflightView { appState: root.appState } }
    Component { id: summary; PreFlightSummaryView { appState: root.appState } }
    Component { id: progress; TransferProgressView { appState: root.appState; feed: root.feed } }
    Component { id: complete; CompleteView { appState: root.appState; feed: root.feed } }
}
