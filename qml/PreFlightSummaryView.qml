import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    readonly property var scanner: appState.preFlightScanner
    readonly property var profile: appState.profileManager
    title: "Review your migration"
    subtitle: "Here's what kivo will move, skip, and stage. Confirm to begin."

    KText {
        visible: view.scanner !== null && !!view.scanner.isScanning
        text: "Scanning your Mac…"
        Layout.fillWidth: true
    }

    KText { text: "Excluded (derived content)"; font.bold: true; Layout.fillWidth: true }
    KText { text: "Staged (apply when apps install)"; font.bold: true; Layout.fillWidth: true }
    KText {
        text: "These prefs apply automatically when you install each app on the destination."
        Layout.fillWidth: true
    }
    KText { text: "Cloud-only files (not migrated)"; font.bold: true; Layout.fillWidth: true }
    KText {
        text: "These files exist only in the cloud and will re-sync after the migration."
        Layout.fillWidth: true
    }
    KText { text: "Conflicts on destination"; font.bold: true; Layout.fillWidth: true }

    PolicyPicker {
        appState: view.appState
        locked: view.profile !== null && !!view.profile.conflictPolicy
        lockedText: "Locked by your organisation's profile."
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
            enabled: false // nothing to export until the pre-flight scan gives a report
            Accessible.description: "Export pre-flight summary"
        },
        Item { Layout.fillWidth: true },
        KButton {
            text: "Start Migration"
            highlighted: true
            onClicked: view.appState.goToNext()
        }
    ]
}
