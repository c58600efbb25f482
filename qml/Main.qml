import QtQuick
import QtQuick.Controls

ApplicationWindow {
    id: window
    required property var appState
    required property var feed
    width: 900
    height: 660
    minimumWidth: 800
    minimumHeight: 600
    visible: true
    title: "kivo"

    // The managed status screen replaces the wizard under a managed deployment.
    Loader {
        anchors.fill: parent
        sourceComponent: window.appState.managedCoordinator !== null ? managed : wizard
    }
    Component {
        id: wizard
        ContentView { appState: window.appState; feed: window.feed }
    }
    Component {
        id: managed
        ManagedStatusView { appState: window.appState; feed: window.feed }
    }
}
