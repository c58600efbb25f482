// SPDX-License-Identifier: Apache-2.0
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

    // A recorded instant in the reader's own zone and format.
    function when(iso) {
        return iso ? new Date(iso).toLocaleString(Qt.locale(), Locale.ShortFormat) : ""
    }

    // The record's states in words; an unknown one is shown as it is.
    function statusText(status) {
        const words = { inProgress: "In progress", completed: "Completed", failed: "Failed", cancelled: "Cancelled",
                        success: "Moved", skipped: "Skipped", partial: "Partly moved" }
        return words[status] || status || ""
    }
    function filesText(count) {
        return count === 1 ? "1 file" : count + " files"
    }

    KText {
        visible: !sheet.hasLog
        text: "No log available"
        Layout.fillWidth: true
    }
    Card {
        visible: sheet.hasLog
        SummaryRow { label: "Status"; value: sheet.statusText(sheet.log.overallStatus) }
        SummaryRow { label: "Started"; value: sheet.when(sheet.log.timestampStart) }
        SummaryRow { label: "Completed"; value: sheet.when(sheet.log.timestampEnd) }
        SummaryRow { label: "Source"; value: sheet.log.sourceHostname || "" }
        SummaryRow { label: "Destination"; value: sheet.log.destinationHostname || "" }
    }
    Card {
        visible: sheet.hasLog && sheet.log.categoriesTransferred.length > 0
        Repeater {
            model: sheet.hasLog ? sheet.log.categoriesTransferred : []
            delegate: SummaryRow {
                required property var modelData
                label: modelData.categoryName
                value: sheet.statusText(modelData.status) + " · " + sheet.filesText(modelData.filesCount)
            }
        }
    }

    buttons: [
        Item { Layout.fillWidth: true },
        KButton { text: "Close"; highlighted: true; onClicked: sheet.close() }
    ]
}
