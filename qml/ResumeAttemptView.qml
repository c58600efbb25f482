// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Checkpoints an earlier, interrupted run left behind.
KSheet {
    id: sheet
    required property var appState
    title: "Unfinished migration"

    // Runs in the sheet's scope: the row that asked is gone once the list reloads.
    function discard(transferID) {
        appState.discardCheckpoint(transferID)
        if (appState.checkpoints.length === 0)
            close()
    }

    KText { text: "kivo has resume data from a previous run."; Layout.fillWidth: true }
    Repeater {
        model: sheet.appState.checkpoints
        delegate: RowLayout {
            id: row
            required property var modelData
            Layout.fillWidth: true
            ColumnLayout {
                Layout.fillWidth: true
                KText { text: "From " + row.modelData.source; font.bold: true; Layout.fillWidth: true }
                KText { text: row.modelData.files + " files"; Layout.fillWidth: true }
                KText { text: "Last activity: " + row.modelData.lastActivity; Layout.fillWidth: true }
            }
            KButton {
                text: "Discard"
                Accessible.description: "From " + row.modelData.source
                onClicked: sheet.discard(row.modelData.transferID)
            }
        }
    }
    KText {
        text: sheet.appState.say("To resume, start the source Mac with the same migration ID. Automatic 30-second reconnect is not yet implemented — for now this is informational so the partial files aren't forgotten.")
        Layout.fillWidth: true
    }

    buttons: [
        Item { Layout.fillWidth: true },
        KButton { text: "Skip"; highlighted: true; onClicked: sheet.close() }
    ]
}
