// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    readonly property var compat: appState.appCompatibility
    readonly property var tools: appState.engToolsDetector
    readonly property var plan: appState.engToolsPlan
    readonly property var space: appState.spaceValidator
    readonly property var profile: appState.profileManager
    property string keychainWarning: ""
    objectName: "manifestView"
    function openFolderPicker() { folderPicker.open() }
    title: "What to Move"
    subtitle: appState.say("Review what will be transferred to your new Mac.")

    Component.onCompleted: appState.prepareSelection()

    KNote {
        visible: view.appState.calculatingSizes
        text: "Calculating sizes..."
        Layout.fillWidth: true
    }

    Card {
        spacing: Theme.m
        Repeater {
            model: view.appState.categoryRows
            delegate: ColumnLayout {
                id: row
                required property var modelData
                Layout.fillWidth: true
                spacing: 0
                RowLayout {
                    Layout.fillWidth: true
                    KCheck {
                        text: row.modelData.name
                        checked: row.modelData.selected
                        Accessible.description: row.modelData.description
                        Layout.fillWidth: true
                        onClicked: {
                            // Selecting the keychain takes an explicit yes.
                            if (row.modelData.sensitive && !row.modelData.selected) {
                                view.keychainWarning = row.modelData.warning
                                keychainSheet.categoryID = row.modelData.id
                                keychainSheet.open()
                            } else {
                                view.appState.toggleCategory(row.modelData.id)
                            }
                        }
                    }
                    KNote {
                        visible: !view.appState.calculatingSizes
                        text: row.modelData.sizeText
                    }
                    KButton {
                        visible: row.modelData.id === "userFiles"
                        text: "Choose Folders"
                        onClicked: folderPicker.open()
                    }
                }
                KNote {
                    text: row.modelData.description
                    font.pixelSize: Theme.captionSize
                    leftPadding: 32
                    Layout.fillWidth: true
                }
            }
        }
    }

    Card {
        visible: view.appState.developerToolsOffered
        Layout.fillWidth: true
        spacing: 2
        KCheck {
            text: "Developer Tools"
            checked: view.appState.engineeringToolsEnabled
            Accessible.description: "Shell configs, dotfiles, Homebrew, version managers, and development directories"
            onClicked: view.appState.includeDeveloperTools(!view.appState.engineeringToolsEnabled)
            Layout.fillWidth: true
        }
        ColumnLayout {
            id: devTools
            readonly property bool ready: view.tools !== null && view.tools.hasScanned && !view.tools.isScanning
            visible: view.appState.engineeringToolsEnabled && view.tools !== null
            Layout.fillWidth: true
            Layout.leftMargin: 32
            spacing: 2
            KNote {
                visible: view.tools !== null && view.tools.isScanning
                text: "Scanning developer tools..."
                Layout.fillWidth: true
            }
            Repeater {
                model: devTools.ready && view.plan !== null ? view.plan.itemRows : []
                delegate: ColumnLayout {
                    id: item
                    required property var modelData
                    Layout.fillWidth: true
                    spacing: 0
                    KCheck {
                        text: item.modelData.name + " — " + item.modelData.size
                        checked: item.modelData.isIncluded
                        Accessible.description: item.modelData.description
                        onClicked: view.plan.toggleItem(item.modelData.name)
                        Layout.fillWidth: true
                    }
                    KText {
                        visible: item.modelData.isSensitive
                        text: "Sensitive — requires your approval"
                        color: Theme.warning
                        font.pixelSize: Theme.captionSize
                        leftPadding: 32
                        Layout.fillWidth: true
                    }
                }
            }
            KText {
                visible: devTools.ready && (view.tools.xcodeInstalled || view.tools.homebrewInstalled)
                text: "Must reinstall after migration"
                font.bold: true
                Layout.fillWidth: true
            }
            KText {
                visible: devTools.ready && view.tools.xcodeInstalled
                textFormat: Text.MarkdownText
                Accessible.name: text.replace(/\*\*/g, "")
                text: "**Xcode Command Line Tools** — run `xcode-select --install`"
                Layout.fillWidth: true
            }
            KText {
                visible: devTools.ready && view.tools.homebrewInstalled
                textFormat: Text.MarkdownText
                Accessible.name: text.replace(/\*\*/g, "")
                text: "**Homebrew packages** — Brewfile saved to Desktop, run `brew bundle install`"
                Layout.fillWidth: true
            }
            KText {
                visible: devTools.ready && view.plan !== null && view.plan.homebrewForceBrewfile
                text: "Architecture mismatch — Brewfile reinstall only"
                Layout.fillWidth: true
            }
            KText {
                visible: devTools.ready && view.plan !== null && view.plan.itemRows.some(r => r.category === "devDirectory")
                text: "Large directories are best re-cloned from source control."
                Layout.fillWidth: true
            }
        }
    }

    RowLayout {
        Layout.fillWidth: true
        spacing: Theme.m
        KText {
            text: "Total: " + view.appState.totalSelectedSizeText
            font.pixelSize: Theme.titleSize
            font.weight: Font.DemiBold
        }
        KText {
            readonly property var limit: ApplicationWindow.window !== null ? ApplicationWindow.window.selectionLimit : null
            visible: text !== ""
            text: limit !== null && limit !== undefined ? limit.note : ""
            color: Theme.danger
            Layout.fillWidth: true
        }
    }
    // The destination's space against the selection, re-checked as it changes.
    Repeater {
        model: view.space !== null ? view.space.messages : []
        delegate: KText {
            required property var modelData
            text: modelData
            Layout.fillWidth: true
        }
    }

    Card {
        visible: view.compat !== null
        KSection { text: "App Compatibility"; topPadding: 0; Layout.fillWidth: true }
        KNote {
            visible: view.compat !== null && view.compat.isScanning
            text: "Checking app compatibility..."
            Layout.fillWidth: true
        }
        KText {
            visible: view.compat !== null && !view.compat.isScanning && !view.compat.hasIncompatibilities
            text: view.appState.say("All apps with data are installed on this Mac.")
            Layout.fillWidth: true
        }
        KText {
            visible: view.compat !== null && !view.compat.isScanning && view.compat.hasIncompatibilities
            text: view.appState.say("Apps with data on the source Mac that are not installed on this Mac.")
            color: Theme.subtleText
            Layout.fillWidth: true
        }
        Repeater {
            model: view.compat !== null && !view.compat.isScanning ? view.compat.missingApps : []
            // The three choices are one setting.
            delegate: RowLayout {
                id: app
                required property var modelData
                Layout.fillWidth: true
                Layout.topMargin: Theme.xs
                spacing: Theme.s
                ColumnLayout {
                    spacing: 0
                    Layout.fillWidth: true
                    KText {
                        text: app.modelData.appName
                        font.weight: Font.DemiBold
                        elide: Text.ElideRight
                        wrapMode: Text.NoWrap
                        Layout.fillWidth: true
                    }
                    KNote {
                        text: app.modelData.dataSize + view.appState.say(" of app data on source Mac")
                        font.pixelSize: Theme.captionSize
                        Layout.fillWidth: true
                    }
                }
                KChoiceButton {
                    text: "Install"
                    chosen: app.modelData.userChoice === "install"
                    Accessible.description: app.modelData.appName
                    onClicked: {
                        view.compat.chooseFor(app.modelData.id, "install")
                        // The store's own page, as the lookup found it; nothing but a web page is opened.
                        const page = String(app.modelData.storeURL || "")
                        if (/^https?:\/\//.test(page))
                            Qt.openUrlExternally(page)
                    }
                }
                KChoiceButton {
                    text: "Transfer Prefs"
                    chosen: app.modelData.userChoice === "transferAnyway"
                    Accessible.description: app.modelData.appName
                    onClicked: view.compat.chooseFor(app.modelData.id, "transferAnyway")
                }
                KChoiceButton {
                    text: "Skip"
                    chosen: app.modelData.userChoice === "skip"
                    Accessible.description: app.modelData.appName
                    onClicked: view.compat.chooseFor(app.modelData.id, "skip")
                }
            }
        }
        RowLayout {
            visible: view.compat !== null && !view.compat.isScanning && view.compat.hasIncompatibilities
            Layout.topMargin: Theme.s
            spacing: Theme.s
            KButton { text: "Transfer All Preferences"; onClicked: view.compat.transferAllMissing() }
            KButton { text: "Skip All Missing"; onClicked: view.compat.skipAllMissing() }
        }
    }

    KSheet {
        id: keychainSheet
        property string categoryID
        // A Linux home has no keychain: the sheet names the category as the list does.
        readonly property string thing: view.appState.macShapedHome ? "Keychain" : "Passwords and Keys"
        title: view.appState.macShapedHome ? "Keychain Data is Sensitive" : "Passwords and Keys Are Sensitive"
        KText { text: view.keychainWarning; Layout.fillWidth: true }
        buttons: [
            Item { Layout.fillWidth: true },
            KButton { text: "Cancel"; onClicked: keychainSheet.close() },
            KButton {
                text: "I Understand, Include " + keychainSheet.thing
                highlighted: true
                onClicked: {
                    view.appState.toggleCategory(keychainSheet.categoryID)
                    keychainSheet.close()
                }
            }
        ]
    }
    FolderPickerView {
        id: folderPicker
        appState: view.appState
    }

    buttons: [
        KButton {
            text: "Back"
            onClicked: view.appState.goBack()
        },
        Item { Layout.fillWidth: true },
        KButton {
            text: "Start Migration"
            highlighted: true
            onClicked: view.appState.goToNext()
        }
    ]
}
