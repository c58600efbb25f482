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
    // desktop's light or dark scheme, as the session chose it at start. Each
    // group is set on its own, so that a control that cannot be used does not
    // look as if it could.
    color: Theme.palette.window
    Component.onCompleted: {
        const roles = ["window", "windowText", "base", "alternateBase", "text", "button", "buttonText", "highlight",
                       "highlightedText", "light", "midlight", "mid", "dark", "shadow", "placeholderText"]
        for (const role of roles) {
            palette.active[role] = Theme.palette[role]
            palette.inactive[role] = Theme.palette[role]
            palette.disabled[role] = Theme.disabledPalette[role]
        }
    }
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
