// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    readonly property var mapping: appState.proposedMapping
    readonly property var mapper: appState.userMapper
    readonly property bool scanning: mapper !== null && !!mapper.isScanning
    readonly property bool receiving: appState.roleName === "destination"
    readonly property var accounts: appState.accountRows
    // This side's pick; the other side's account is as that side names it.
    readonly property var picked: appState.pickedAccount
    readonly property bool hasPick: picked !== undefined && picked.username !== undefined
    // The reasons some accounts cannot be this side's, each said once under the list.
    readonly property var reasons: {
        const out = []
        for (const a of accounts)
            if (!a.selectable && a.whyNot !== "" && out.indexOf(a.whyNot) < 0)
                out.push(a.whyNot)
        return out
    }
    title: "Where Should Your Data Go?"
    subtitle: appState.say("Confirm which account on the new Mac will receive your files and settings.")

    Component.onCompleted: appState.scanAccounts()

    // The two accounts, the old one's files going into the new one.
    Card {
        RowLayout {
            spacing: Theme.m
            Layout.fillWidth: true
            ColumnLayout {
                spacing: Theme.xs
                Layout.fillWidth: true
                Layout.preferredWidth: 1
                Layout.alignment: Qt.AlignTop
                KNote { text: "Moving data from"; font.pixelSize: Theme.captionSize; wrapMode: Text.NoWrap; elide: Text.ElideRight; Layout.fillWidth: true }
                RowLayout {
                    spacing: Theme.s
                    Icon { name: "person"; size: 28 }
                    KText {
                        text: view.mapping.sourceUsername
                        font.pixelSize: Theme.titleSize
                        font.weight: Font.DemiBold
                        elide: Text.ElideRight
                        wrapMode: Text.NoWrap
                        Layout.fillWidth: true
                    }
                }
            }
            KText { text: "→"; font.pixelSize: Theme.headingSize; color: Theme.accent; Accessible.ignored: true }
            ColumnLayout {
                spacing: Theme.xs
                Layout.fillWidth: true
                Layout.preferredWidth: 1
                Layout.alignment: Qt.AlignTop
                KNote {
                    text: view.appState.say("Into this account on the new Mac")
                    font.pixelSize: Theme.captionSize
                    wrapMode: Text.NoWrap
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
                RowLayout {
                    spacing: Theme.s
                    Icon { name: "person"; size: 28 }
                    KText {
                        // The source learns the destination's account only when it is chosen there.
                        text: view.receiving ? view.mapping.destinationUsername : view.appState.say("Chosen on the new Mac")
                        font.pixelSize: view.receiving ? Theme.titleSize : Theme.bodySize
                        font.weight: view.receiving ? Font.DemiBold : Font.Normal
                        color: view.receiving ? Theme.text : Theme.subtleText
                        elide: Text.ElideRight
                        wrapMode: Text.NoWrap
                        Layout.fillWidth: true
                    }
                }
                KNote {
                    visible: view.receiving && view.mapping.destinationIsCurrentUser
                    text: "You're logged in"
                    font.pixelSize: Theme.captionSize
                }
            }
        }
    }

    // This side's account, one radio button a person.
    Card {
        Accessible.role: Accessible.Grouping
        Accessible.name: sectionTitle.text
        KSection {
            id: sectionTitle
            text: view.receiving ? view.appState.say("Account on this Mac") : "Account to move"
            topPadding: 0
            Layout.fillWidth: true
        }
        RowLayout {
            visible: view.scanning
            spacing: Theme.m
            BusyIndicator { running: parent.visible; implicitWidth: 24; implicitHeight: 24; Accessible.ignored: true }
            KNote { text: view.appState.say("Looking at the accounts on this Mac..."); Layout.fillWidth: true }
        }
        KNote {
            visible: !view.scanning && view.accounts.length === 0
            text: "No other accounts were found; the data goes to the account shown above."
            Layout.fillWidth: true
        }
        Repeater {
            model: view.scanning ? [] : view.accounts
            delegate: ColumnLayout {
                required property var modelData
                spacing: 0
                Layout.fillWidth: true
                KRadio {
                    text: modelData.label
                    enabled: modelData.selectable
                    checked: view.hasPick && view.picked.username === modelData.username
                    onClicked: view.appState.pickAccount(modelData.username)
                    Accessible.description: details.text
                    Layout.fillWidth: true
                }
                KNote {
                    id: details
                    text: {
                        const parts = [modelData.homeFolder]
                        if (modelData.isCurrentUser)
                            parts.push("You're logged in")
                        if (modelData.isMDMManaged)
                            parts.push("Managed by your organisation")
                        if (modelData.isNetworkHome)
                            parts.push("Network home folder")
                        return parts.join("  ·  ")
                    }
                    font.pixelSize: Theme.captionSize
                    opacity: modelData.selectable ? 1 : 0.7
                    elide: Text.ElideMiddle
                    wrapMode: Text.NoWrap
                    // Under the label, past the radio mark.
                    Layout.leftMargin: 32
                    Layout.fillWidth: true
                }
            }
        }
        Repeater {
            model: view.scanning ? [] : view.reasons
            delegate: KNote {
                required property var modelData
                text: modelData
                Layout.topMargin: Theme.xs
                Layout.fillWidth: true
            }
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
            visible: view.receiving && view.hasPick && view.picked.isMDMManaged === true
            text: view.appState.say("This Mac is set up by your IT department. The migration won't change your setup or any settings managed by IT.")
            Layout.fillWidth: true
        }
        KNote {
            visible: view.receiving && view.hasPick && view.picked.isEncrypted === true
            text: view.appState.say("This Mac uses disk encryption — your migrated data will be protected automatically.")
            Layout.fillWidth: true
        }
    }

    Banner {
        visible: view.hasPick && view.picked.isNetworkHome === true
        kind: "danger"
        title: "Network Home Folder Detected"
        text: view.appState.say("Migrations between network home folders aren't supported yet. Both Macs need to use local accounts.")
    }

    Banner {
        visible: view.receiving && view.hasPick && view.picked.hasFiles === true && view.picked.isNetworkHome !== true
        kind: "warning"
        title: "This Account Already Has Files"
        text: view.appState.say("What you move is added beside them. A file that exists on both Macs is kept or replaced as chosen on the old Mac.")
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
            enabled: view.appState.canConfirmMapping
            onClicked: view.appState.confirmProposedUserMapping()
        }
    ]
}
