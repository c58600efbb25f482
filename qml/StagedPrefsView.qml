import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Preferences held back until their applications are installed.
KSheet {
    id: sheet
    required property var appState
    readonly property var service: appState.stagedPrefService
    readonly property var bundles: service !== null && service.bundles ? service.bundles : []
    title: "Preferences waiting on apps"

    KText {
        visible: sheet.service !== null
        text: sheet.service === null ? ""
            : sheet.service.restoreMode === "manual" ? "Restore mode: manual — use the Apply button to restore each bundle."
            : sheet.service.restoreMode === "immediate" ? "Restore mode: immediate — staging is disabled."
            : "Restore mode: staged — applies automatically when each app appears."
        Layout.fillWidth: true
    }
    KText {
        visible: sheet.bundles.length === 0
        text: "No staged preferences"
        font.bold: true
        Layout.fillWidth: true
    }
    KText {
        visible: sheet.bundles.length === 0
        text: "Restored prefs will appear here while kivo waits for the matching apps to install."
        Layout.fillWidth: true
    }
    Repeater {
        model: sheet.bundles
        delegate: RowLayout {
            required property var modelData
            Layout.fillWidth: true
            KText { text: modelData.name; Layout.fillWidth: true }
            KText { text: modelData.fileCount + " file(s)" }
            KButton { text: "Apply"; onClicked: sheet.service.applyManually(modelData.key) }
            KButton { text: "Discard"; onClicked: sheet.service.discard(modelData.key) }
        }
    }

    buttons: [
        Item { Layout.fillWidth: true },
        KButton { text: "Close"; onClicked: sheet.close() }
    ]
}
