// SPDX-License-Identifier: Apache-2.0
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
    subtitle: appState.say("Confirm which account on the new Mac will receive your files and settings.")

    KNote {
        visible: view.mapper !== null && !!view.mapper.isScanning
        text: view.appState.say("Looking at the accounts on this Mac...")
        Layout.fillWidth: true
    }

    // The two accounts, the old one's files going into the new one.
    RowLayout {
        spacing: Theme.m
        Layout.fillWidth: true
        Card {
            Layout.preferredWidth: 1
            Layout.fillHeight: true
            KNote { text: "Moving data from"; font.pixelSize: Theme.captionSize; Layout.fillWidth: true }
            RowLayout {
                spacing: Theme.s
                Icon { name: "person"; size: 28 }
                KText { text: view.mapping.sourceUsername; font.pixelSize: Theme.titleSize; font.weight: Font.DemiBold; Layout.fillWidth: true }
            }
        }
        KText { text: "→"; font.pixelSize: Theme.headingSize; color: Theme.accent; Accessible.ignored: true }
        Card {
            Layout.preferredWidth: 1
            Layout.fillHeight: true
            KNote { text: view.appState.say("Into this account on the new Mac"); font.pixelSize: Theme.captionSize; Layout.fillWidth: true }
            RowLayout {
                spacing: Theme.s
                Icon { name: "person"; size: 28 }
                KText { text: view.mapping.destinationUsername; font.pixelSize: Theme.titleSize; font.weight: Font.DemiBold; Layout.fillWidth: true }
            }
            KNote { visible: view.mapping.destinationIsCurrentUser; text: "You're logged in"; font.pixelSize: Theme.captionSize }
        }
    }

    KText {
        text: view.mapping.sameUsername ? view.appState.say("Same username on both Macs — your files will go right where they belong.")
                                        : "Usernames differ — paths will be updated automatically"
        Layout.fillWidth: true
    }

    Card {
        KSection { text: "Here's what will happen"; topPadding: 0; Layout.fillWidth: true }
        KText {
            textFormat: Text.MarkdownText
            Accessible.name: text.replace(/\*\*/g, "")
            text: view.appState.say("Your files, settings, and app data from the **" + view.mapping.sourceUsername
                  + "** account will be placed into the **" + view.mapping.destinationUsername
                  + "** account on this Mac.")
            Layout.fillWidth: true
        }
        KNote {
            visible: !view.mapping.sameUsername
            text: view.appState.say("Since the usernames are different, kivo will automatically update any app settings that reference the old username so everything works on the new Mac.")
            Layout.fillWidth: true
        }
        KNote {
            visible: view.destinationAccount !== null && view.destinationAccount.isMDMManaged === true
            text: view.appState.say("This Mac is set up by your IT department. The migration won't change your setup or any settings managed by IT.")
            Layout.fillWidth: true
        }
    }

    Banner {
        visible: view.networkHome
        kind: "danger"
        title: "Network Home Folder Detected"
        text: view.appState.say("Migrations between network home folders aren't supported yet. Both Macs need to use local accounts.")
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
