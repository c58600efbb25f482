// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    required property var feed
    readonly property var s: feed.summary
    readonly property var staged: appState.stagedPrefService
    objectName: "completeView"
    icon: s.outcome === "complete" ? "success" : s.outcome === "cancelled" ? "cancelled" : "issues"
    iconColor: s.outcome === "complete" ? Theme.success : s.outcome === "cancelled" ? Theme.subtleText : Theme.warning
    Component.onCompleted: appState.finishMigrationLog()
    title: s.outcome === "complete" ? "Migration Complete" : "Migration Finished with Issues"
    subtitle: s.outcome === "complete" ? "Your data has been transferred successfully."
            : s.outcome === "cancelled" ? "The migration was cancelled. You can start over at any time."
            : "Something went wrong. Check the log for details."

    Banner {
        visible: !!view.s.error && view.s.outcome === "issues"
        kind: "danger"
        text: view.s.error || ""
    }

    Card {
        SummaryRow { label: "Data transferred"; value: view.s.dataTransferred || "" }
        SummaryRow { label: "Files"; value: view.s.files || "" }
        SummaryRow { label: "Duration"; value: view.s.duration || "" }
        SummaryRow { label: "Skipped/Failed"; value: view.s.skippedFailed || "" }
        SummaryRow { label: "Conflicts resolved"; value: String(view.s.conflictsResolved || 0) }
        SummaryRow {
            visible: view.appState.macShapedHome
            label: "iCloud placeholders skipped"
            value: String(view.s.placeholdersSkipped || 0)
        }
    }
    Card {
        SummaryRow { label: "Source"; value: view.s.source || "" }
        SummaryRow { label: "Destination"; value: view.s.destination || "" }
        SummaryRow { label: "Connection"; value: view.s.connection || "" }
    }

    RowLayout {
        spacing: Theme.l
        Layout.fillWidth: true
        KText {
            text: (view.s.verified || 0) + " files verified"
            color: Theme.success
        }
        KNote {
            visible: (view.s.verificationSkipped || 0) > 0
            text: view.s.verificationSkipped + " skipped (>500 MB)"
            Layout.fillWidth: true
        }
        Item { Layout.fillWidth: true }
    }
    Banner {
        visible: (view.s.mismatches || 0) > 0
        kind: "warning"
        title: view.s.mismatches + " verification mismatch(es)"
        text: view.s.mismatches + " file(s) did not pass verification."
    }
    // Staging happens where the files land.
    Card {
        visible: view.staged !== null && view.appState.roleName === "destination"
        RowLayout {
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
