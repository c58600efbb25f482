import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    title: "Which Mac is this?"
    subtitle: "Select this computer's role in the migration."

    RoleCard {
        text: "Source Mac"
        detail: "Sending data from this Mac"
        onClicked: view.appState.chooseRoleNamed("source")
    }
    RoleCard {
        text: "Destination Mac"
        detail: "Receiving data on this Mac"
        onClicked: view.appState.chooseRoleNamed("destination")
    }

    buttons: [
        KButton {
            text: "Back"
            onClicked: view.appState.goBack()
        },
        Item { Layout.fillWidth: true }
    ]
}
