// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Which home sub-folders the user files category carries.
KSheet {
    id: sheet
    required property var appState
    title: "Choose Folders"

    KText {
        visible: sheet.appState.scanningFolders
        text: "Scanning home folder…"
        Layout.fillWidth: true
    }
    KText {
        visible: !sheet.appState.scanningFolders && sheet.appState.folderRows.length === 0
        text: "No folders found in home directory."
        Layout.fillWidth: true
    }
    Repeater {
        model: sheet.appState.folderRows
        delegate: KCheck {
            required property var modelData
            text: modelData.name + (modelData.sizeText !== "" ? " (" + modelData.sizeText + ")" : "")
            Accessible.name: modelData.name
            checked: modelData.selected
            enabled: !modelData.custom
            Layout.fillWidth: true
            onClicked: sheet.appState.toggleFolder(modelData.name)
        }
    }
    RowLayout {
        visible: addRow.shown
        property bool shown: false
        id: addRow
        Layout.fillWidth: true
        TextField {
            id: folderPath
            placeholderText: "Folder path"
            Accessible.name: "Folder path"
            Layout.fillWidth: true
            onAccepted: addButton.clicked()
        }
        KButton {
            id: addButton
            text: "Add"
            onClicked: {
                if (sheet.appState.addCustomFolder(folderPath.text)) {
                    folderPath.text = ""
                    addRow.shown = false
                    addError.visible = false
                } else {
                    addError.visible = true
                }
            }
        }
    }
    KText {
        id: addError
        visible: false
        text: "Choose a folder inside your home folder."
        color: Theme.danger
        Layout.fillWidth: true
    }

    // The chooser when this system has one; the typed path otherwise.
    property var dialog: null
    function addFolder() {
        if (dialog === null) {
            const chooser = Qt.createComponent("AddFolderDialog.qml")
            const window = ApplicationWindow.window
            if (chooser.status === Component.Ready && window !== null && window.homeFolder)
                dialog = chooser.createObject(sheet, { appState: sheet.appState, homeFolder: window.homeFolder })
            if (dialog !== null)
                dialog.refused.connect(() => addError.visible = true)
        }
        addError.visible = false
        if (dialog !== null) {
            dialog.open()
        } else {
            addRow.shown = true
            folderPath.forceActiveFocus()
        }
    }

    buttons: [
        KButton { text: "Select All"; onClicked: sheet.appState.selectAllFolders() },
        KButton { text: "Defaults Only"; onClicked: sheet.appState.selectDefaultFolders() },
        KButton {
            text: "Add Folder..."
            onClicked: sheet.addFolder()
        },
        Item { Layout.fillWidth: true },
        KButton { text: "Done"; highlighted: true; onClicked: sheet.close() }
    ]
}
