import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    required property var feed
    readonly property var s: feed.summary
    readonly property var staged: appState.stagedPrefService
    title: s.outcome === "complete" ? "Migration Complete" : "Migration Finished with Issues"
    subtitle: s.outcome === "complete" ? "Your data has been transferred successfully."
            : s.outcome === "cancelled" ? "The migration was cancelled. You can start over at any time."
            : "Something went wrong. Check the log for details."

    KText {
        visible: !!view.s.error && view.s.outcome === "issues"
        text: view.s.error || ""
        color: "#b00020"
        Layout.fillWidth: true
    }

    GridLayout {
        columns: 2
        columnSpacing: 16
        Layout.fillWidth: true
        KText { text: "Data transferred"; font.bold: true }
        KText { text: view.s.dataTransferred || ""; Layout.fillWidth: true }
        KText { text: "Conflicts resolved"; font.bold: true }
        KText { text: String(view.s.conflictsResolved || 0); Layout.fillWidth: true }
        KText { text: "iCloud placeholders skipped"; font.bold: true }
        KText { text: String(view.s.placeholdersSkipped || 0); Layout.fillWidth: true }
        KText { text: "Files"; font.bold: true }
        KText { text: view.s.files || ""; Layout.fillWidth: true }
        KText { text: "Duration"; font.bold: true }
        KText { text: view.s.duration || ""; Layout.fillWidth: true }
        KText { text: "Skipped/Failed"; font.bold: true }
        KText { text: view.s.skippedFailed || ""; Layout.fillWidth: true }
        KText { text: "Source"; font.bold: true }
        KText { text: view.s.source || ""; Layout.fillWidth: true }
        KText { text: "Destination"; font.bold: true }
        KText { text: view.s.destination || ""; Layout.fillWidth: true }
        KText { text: "Connection"; font.bold: true }
        KText { text: view.s.connection || ""; Layout.fillWidth: true }
    }

    KText {
        text: (view.s.verified || 0) + " files verified"
        Layout.fillWidth: true
    }
    KText {
        visible: (view.s.mismatches || 0) > 0
        text: view.s.mismatches + " verification mismatch(es)"
        Layout.fillWidth: true
    }
    KText {
        visible: (view.s.mismatches || 0) > 0
        text: view.s.mismatches + " file(s) did not pass verification."
        Layout.fillWidth: true
    }
    // Staging happens where the files land.
    RowLayout {
        visible: view.staged !== null && view.appState.roleName === "destination"
        Layout.fillWidth: true
        KText {
            text: (view.staged !== null && view.staged.staged ? view.staged.staged.length : 0)
                  + " preference bundle(s) waiting on apps"
            Layout.fillWidth: true
        }
        KButton {
            text: "Staged Preferences"
            onClicked: view.openStaged()
        }
    }

    // The sheets are made when first asked for: the screen appears as the
    // transfer ends, and every frame then counts.
    property var logSheetItem: null
    property var stagedSheetItem: null
    function openLog() {
        if (logSheetItem === null)
            logSheetItem = logSheet.createObject(view, { appState: view.appState })
        logSheetItem.open()
    }
    function openStaged() {
        if (stagedSheetItem === null)
            stagedSheetItem = stagedSheet.createObject(view, { appState: view.appState })
        stagedSheetItem.open()
    }
    Component { id: logSheet; MigrationLogView {} }
    Component { id: stagedSheet; StagedPrefsView {} }

    buttons: [
        KButton { text: "View Log"; onClicked: view.openLog() },
        KButton { text: "New Migration"; onClicked: view.appState.reset() },
        Item { Layout.fillWidth: true },
        KButton { text: "Quit kivo"; onClicked: Qt.quit() },
        KButton { text: "Done"; highlighted: true; onClicked: Qt.quit() }
    ]
}
