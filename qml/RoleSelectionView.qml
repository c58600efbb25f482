// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    title: appState.say("Which Mac is this?")
    subtitle: "Select this computer's role in the migration."

    RowLayout {
        spacing: Theme.l
        Layout.fillWidth: true
        RoleCard {
            text: view.appState.say("Source Mac")
            detail: view.appState.say("Sending data from this Mac")
            glyph: "source"
            onClicked: view.appState.chooseRoleNamed("source")
        }
        RoleCard {
            text: view.appState.say("Destination Mac")
            detail: view.appState.say("Receiving data on this Mac")
            glyph: "destination"
            onClicked: view.appState.chooseRoleNamed("destination")
        }
    }

    buttons: [
        KButton {
            text: "Back"
            onClicked: view.appState.goBack()
        },
        Item { Layout.fillWidth: true }
    ]
}
