// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    readonly property var profile: appState.profileManager
    // The organisation's migration window, looked at again while the screen waits.
    property bool withinWindow: true
    function checkWindow() { withinWindow = profile === null || profile.isWithinMigrationWindowNow() }
    icon: "migrate"
    title: "kivo"
    subtitle: appState.say("Move your data to a new Mac.")

    Timer {
        interval: 15000
        repeat: true
        running: true
        triggeredOnStart: true
        onTriggered: view.checkWindow()
    }

    KNote {
        visible: view.profile !== null && view.profile.brandingName !== ""
        text: "Managed by " + (view.profile !== null ? view.profile.brandingName : "")
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
    }
    Banner {
        visible: !view.withinWindow
        kind: "warning"
        title: "Migration not available right now"
        text: "Available " + (view.profile !== null ? view.profile.migrationWindowStart : "")
    }
    KNote {
        text: view.appState.say("Files, settings and app data move over your local network, checked end to end. "
                                + "Open kivo on both Macs to begin.")
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
    }

    buttons: [
        Item { Layout.fillWidth: true },
        KButton {
            text: "Preview Demo"
            visible: view.appState.demoAvailable
            onClicked: view.appState.previewDemo()
        },
        KButton {
            text: "Get Started"
            highlighted: true
            enabled: view.withinWindow
            onClicked: view.appState.goToNext()
        }
    ]

    ResumeAttemptView {
        id: resumeSheet
        appState: view.appState
    }
    Component.onCompleted: if (appState.checkpoints.length > 0) resumeSheet.open()
}
