// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Dialogs

// Where "Export Summary…" saves: the Desktop under the report's name unless
// the person picks another place.
FileDialog {
    id: dialog
    required property var appState
    // The file written, or empty when writing failed.
    signal saved(string path)
    title: "Export pre-flight summary"
    fileMode: FileDialog.SaveFile
    nameFilters: ["JSON files (*.json)"]
    defaultSuffix: "json"
    function ask() {
        const suggested = appState.suggestedSummaryUrl()
        const text = String(suggested)
        currentFolder = text.slice(0, text.lastIndexOf("/"))
        selectedFile = suggested
        open()
    }
    onAccepted: saved(appState.exportPreFlightSummaryTo(selectedFile))
}
