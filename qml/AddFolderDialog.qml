// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Dialogs

// The folder chooser behind "Add Folder...", opening in the home served.
FolderDialog {
    id: dialog
    required property var appState
    required property url homeFolder
    // A folder the session would not take (outside the home, or gone).
    signal refused()
    title: "Add Folder"
    currentFolder: homeFolder
    onAccepted: {
        const path = decodeURIComponent(String(selectedFolder).replace(/^file:\/\//, ""))
        if (!appState.addCustomFolder(path))
            refused()
    }
}
