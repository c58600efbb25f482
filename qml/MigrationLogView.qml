import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The current migration's log record.
KSheet {
    id: sheet
    required property var appState
    readonly property var log: appState.migrationLogger !== null ? appState.migrationLogger.currentLog : null
    title: "Migration Log"

    KText {
        visible: sheet.log === null || sheet.log === undefined
        text: "No log available"
        Layout.fillWidth: true
    }
    GridLayout {
        visible: !!sheet.log
        columns: 2
        Layout.fillWidth: true
        KText { text: "Status"; font.bold: true }
        KText { text: sheet.log ? String(sheet.log.status) : "" }
        KText { text: "Started"; font.bold: true }
        KText { text: sheet.log ? String(sheet.log.startTime) : "" }
        KText { text: "Completed"; font.bold: true }
        KText { text: sheet.log ? String(sheet.log.endTime || "") : "" }
        KText { text: "Source"; font.bold: true }
        KText { text: sheet.log ? String(sheet.log.sourceHostname) : "" }
        KText { text: "Destination"; font.bold: true }
        KText { text: sheet.log ? String(sheet.log.destinationHostname) : "" }
    }

    buttons: [
        Item { Layout.fillWidth: true },
        KButton { text: "Close"; onClicked: sheet.close() }
    ]
}
