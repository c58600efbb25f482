import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    readonly property var profile: appState.profileManager
    title: "kivo"
    subtitle: "Move your data to a new Mac."

    KText {
        visible: view.profile !== null && !!view.profile.brandingName
        text: "Managed by " + (view.profile !== null ? view.profile.brandingName || "" : "")
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
            onClicked: view.appState.goToNext()
        }
    ]

    ResumeAttemptView {
        id: resumeSheet
        appState: view.appState
    }
    Component.onCompleted: if (appState.checkpoints.length > 0) resumeSheet.open()
}
