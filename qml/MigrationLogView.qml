import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The current migration's log record.
KSheet {
    id: sheet
    required property var appState
    // The record in its JSON shape; empty when there is none.
    readonly property var log: appState.migrationLogger !== null ? appState.migrationLogger.currentLog : ({})
    readonly property bool hasLog: log.id !== undefined
    title: "Migration Log"

    KText {
        visible: !sheet.hasLog
        text: "No log available"
        Layout.fillWidth: true
    }
    GridLayout {
        visible: sheet.hasLog
        columns: 2
        Layout.fillWidth: true
        KText { text: "Status"; font.bold: true }
        KText { text: sheet.log.overallStatus || ""; Layout.fillWidth: true }
        KText { text: "Started"; font.bold: true }
        KText { text: sheet.log.timestampStart || ""; Layout.fillWidth: true }
        KText { text: "Completed"; font.bold: true }
        KText { text: sheet.log.timestampEnd || ""; Layout.fillWidth: true }
        KText { text: "Source"; font.bold: true }
        KText { text: sheet.log.sourceHostname || ""; Layout.fillWidth: true }
        KText { text: "Destination"; font.bold: true }
        KText { text: sheet.log.destinationHostname || ""; Layout.fillWidth: true }
    }
    Repeater {
        model: sheet.hasLog ? sheet.log.categoriesTransferred : []
        delegate: KText {
            required property var modelData
            text: modelData.categoryName + ": " + modelData.status + " (" + modelData.filesCount + " files)"
            Layout.fillWidth: true
        }
    }

    buttons: [
        Item { Layout.fillWidth: true },
        KButton { text: "Close"; onClicked: sheet.close() }
    ]
}
