// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    readonly property var report: appState.preFlightSummary
    readonly property bool hasReport: report.totalFiles !== undefined
    readonly property var profile: appState.profileManager
    property string exportedTo: ""
    objectName: "summaryView"
    // The chooser is made when first asked for, like the other sheets.
    property var exportDialog: null
    function askWhereToExport() {
        if (exportDialog === null) {
            exportDialog = saveDialog.createObject(view, { appState: view.appState })
            exportDialog.saved.connect(path => view.exportedTo = path)
        }
        exportDialog.ask()
    }
    Component { id: saveDialog; SaveSummaryDialog {} }
    title: "Review your migration"
    subtitle: "Here's what kivo will move, skip, and stage. Confirm to begin."

    Component.onCompleted: appState.startPreFlightReview()

    KText {
        visible: view.appState.preFlightScanRunning
        text: view.appState.say("Scanning your Mac…")
        Layout.fillWidth: true
    }
    KText {
        visible: view.hasReport
        text: view.hasReport ? "Total: " + view.report.totalFiles + " files, " + view.report.totalSize : ""
        font.pixelSize: Theme.titleSize
        font.weight: Font.DemiBold
        Layout.fillWidth: true
    }

    KSection { text: "Excluded (derived content)"; Layout.fillWidth: true }
    KText {
        visible: view.hasReport
        text: !view.hasReport ? ""
            : view.report.excludedFiles === 0 ? "Nothing left out."
            : view.report.excludedFiles + " files, " + view.report.excludedSize + " left out"
        Layout.fillWidth: true
    }
    Repeater {
        model: view.hasReport ? view.report.exclusions : []
        delegate: KText {
            required property var modelData
            text: modelData.path + " — " + modelData.size
            leftPadding: 16
            Layout.fillWidth: true
        }
    }
    KSection { text: "Staged (apply when apps install)"; Layout.fillWidth: true }
    KNote {
        text: "These prefs apply automatically when you install each app on the destination."
        Layout.fillWidth: true
    }
    KText {
        visible: view.hasReport && view.report.stagedPrefs.length === 0
        text: "Nothing to stage."
        Layout.fillWidth: true
    }
    Repeater {
        model: view.hasReport ? view.report.stagedPrefs : []
        delegate: KText {
            required property var modelData
            text: modelData.appName + " — " + modelData.fileCount + " file(s)"
            leftPadding: 16
            Layout.fillWidth: true
        }
    }
    KSection { text: "Cloud-only files (not migrated)"; Layout.fillWidth: true }
    KNote {
        text: "These files exist only in the cloud and will re-sync after the migration."
        Layout.fillWidth: true
    }
    KText {
        visible: view.hasReport && view.report.ghostFiles.length === 0
        text: "None found."
        Layout.fillWidth: true
    }
    Repeater {
        model: view.hasReport ? view.report.ghostFiles : []
        delegate: KText {
            required property var modelData
            text: modelData.count + " files (" + modelData.provider + ")"
            leftPadding: 16
            Layout.fillWidth: true
        }
    }
    KSection { text: "Conflicts on destination"; Layout.fillWidth: true }
    KText {
        visible: view.hasReport
        text: !view.hasReport ? ""
            : view.report.conflictCount > 0 ? view.report.conflictCount + " files already exist on the destination."
            : "No conflicts detected. The destination has no overlapping files."
        Layout.fillWidth: true
    }

    Card {
        PolicyPicker {
            appState: view.appState
            locked: view.profile !== null && view.profile.conflictPolicy !== ""
            lockedText: "Locked by your organisation's profile."
            lockedPolicy: view.profile !== null ? view.profile.conflictPolicy : ""
        }
    }

    KText {
        visible: view.exportedTo !== ""
        text: "Saved to " + view.exportedTo
        Layout.fillWidth: true
    }
    KText {
        visible: view.appState.thunderboltDetected && view.appState.transportName !== "Thunderbolt"
        text: "Thunderbolt is available — connecting a cable will speed this up significantly."
        Layout.fillWidth: true
    }

    buttons: [
        KButton {
            text: "Back"
            onClicked: view.appState.goBack()
        },
        KButton {
            text: "Export Summary…"
            enabled: view.hasReport
            Accessible.description: "Export pre-flight summary"
            onClicked: view.askWhereToExport()
        },
        Item { Layout.fillWidth: true },
        KButton {
            text: "Start Migration"
            highlighted: true
            onClicked: view.appState.goToNext()
        }
    ]
}
