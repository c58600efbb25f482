import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    readonly property var mapping: appState.proposedMapping
    readonly property var mapper: appState.userMapper
    // The accounts the account mapper picked, when it has looked.
    readonly property var sourceAccount: mapper !== null && mapper.selectedSourceAccount ? mapper.selectedSourceAccount : null
    readonly property var destinationAccount: mapper !== null && mapper.selectedDestinationAccount
                                              ? mapper.selectedDestinationAccount : null
    readonly property bool networkHome: (sourceAccount !== null && sourceAccount.isNetworkHome === true)
                                        || (destinationAccount !== null && destinationAccount.isNetworkHome === true)
    title: "Where Should Your Data Go?"
    subtitle: "Confirm which account on the new Mac will receive your files and settings."

    KText {
        visible: view.mapper !== null && !!view.mapper.isScanning
        text: "Looking at the accounts on this Mac..."
        Layout.fillWidth: true
    }

    GridLayout {
        columns: 2
        columnSpacing: 16
        Layout.fillWidth: true
        KText { text: "Moving data from"; font.bold: true }
        KText { text: view.mapping.sourceUsername; Layout.fillWidth: true }
        KText { text: "Into this account on the new Mac"; font.bold: true }
        RowLayout {
            Layout.fillWidth: true
            KText { text: view.mapping.destinationUsername }
            KText { visible: view.mapping.destinationIsCurrentUser; text: "You're logged in"; opacity: 0.7 }
        }
    }

    KText {
        text: view.mapping.sameUsername ? "Same username on both Macs — your files will go right where they belong."
                                        : "Usernames differ — paths will be updated automatically"
        Layout.fillWidth: true
    }

    KText { text: "Here's what will happen"; font.bold: true; Layout.fillWidth: true }
    KText {
        textFormat: Text.MarkdownText
        Accessible.name: text.replace(/\*\*/g, "")
        text: "Your files, settings, and app data from the **" + view.mapping.sourceUsername
              + "** account will be placed into the **" + view.mapping.destinationUsername
              + "** account on this Mac."
        Layout.fillWidth: true
    }
    KText {
        visible: !view.mapping.sameUsername
        text: "Since the usernames are different, kivo will automatically update any app settings that reference the old username so everything works on the new Mac."
        Layout.fillWidth: true
    }

    KText {
        visible: view.destinationAccount !== null && view.destinationAccount.isMDMManaged === true
        text: "This Mac is set up by your IT department. The migration won't change your setup or any settings managed by IT."
        Layout.fillWidth: true
    }

    ColumnLayout {
        visible: view.networkHome
        Layout.fillWidth: true
        KText { text: "Network Home Folder Detected"; font.bold: true; color: "#b00020"; Layout.fillWidth: true }
        KText {
            text: "Migrations between network home folders aren't supported yet. Both Macs need to use local accounts."
            Layout.fillWidth: true
        }
    }

    buttons: [
        KButton {
            text: "Back"
            onClicked: view.appState.goBack()
        },
        Item { Layout.fillWidth: true },
        KButton {
            text: "Continue"
            highlighted: true
            enabled: !view.networkHome
            onClicked: view.appState.confirmProposedUserMapping()
        }
    ]
}
