// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls

ApplicationWindow {
    id: window
    required property var appState
    required property var feed
    // Where choosers of files open: the home served.
    property url homeFolder
    // The manifest screen's note on the organisation's size limit.
    property var selectionLimit: null
    readonly property var profile: appState.profileManager
    readonly property var coordinator: appState.managedCoordinator
    // The managed status screen replaces the wizard under a managed deployment.
    readonly property bool managed: coordinator !== null || (profile !== null && profile.isManagedDeployment)
    readonly property string managedState: coordinator !== null ? coordinator.stateDescription.split("(")[0] : ""
    // An unattended run must not be ended by a stray click: the window stays
    // until the run has reached an end of its own.
    readonly property bool locked: coordinator !== null
        && ["missingKeys", "attestationFailed", "complete", "failed"].indexOf(managedState) < 0
    width: 900
    height: 660
    minimumWidth: 800
    minimumHeight: 600
    visible: true
    title: "kivo"
    // The controls take the application's palette through the window: the
    // desktop's light or dark scheme, as the session chose it at start.
    color: Theme.palette.window
    palette.window: Theme.palette.window
    palette.windowText: Theme.palette.windowText
    palette.base: Theme.palette.base
    palette.alternateBase: Theme.palette.alternateBase
    palette.text: Theme.palette.text
    palette.button: Theme.palette.button
    palette.buttonText: Theme.palette.buttonText
    palette.highlight: Theme.palette.highlight
    palette.highlightedText: Theme.palette.highlightedText
    palette.light: Theme.palette.light
    palette.midlight: Theme.palette.midlight
    palette.mid: Theme.palette.mid
    palette.dark: Theme.palette.dark
    palette.shadow: Theme.palette.shadow
    palette.placeholderText: Theme.palette.placeholderText
    flags: locked ? Qt.Window | Qt.CustomizeWindowHint | Qt.WindowTitleHint : Qt.Window
    onClosing: close => close.accepted = !locked

    Loader {
        anchors.fill: parent
        sourceComponent: window.managed ? managedView : wizard
    }
    Component {
        id: wizard
        ContentView { appState: window.appState; feed: window.feed }
    }
    Component {
        id: managedView
        ManagedStatusView { appState: window.appState; feed: window.feed }
    }
}
