// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Preferences held back until their applications are installed: the staged
// preference service's bundles, as last listed from disk
// ({id, displayName, fileCount, expiresAt, expired, originatedFromMDM}).
KSheet {
    id: sheet
    required property var appState
    readonly property var service: appState.stagedPrefService
    readonly property var bundles: service !== null && service.staged ? service.staged : []
    readonly property string homebrew: service !== null && service.homebrewDetectedAt ? service.homebrewDetectedAt : ""
    title: "Preferences waiting on apps"

    function expiryOf(bundle) {
        return bundle.expired ? "Expired — pending discard"
                              : "expires " + new Date(bundle.expiresAt).toLocaleDateString(Qt.locale(), Locale.ShortFormat)
    }

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
            id: row
            required property var modelData
            Layout.fillWidth: true
            // From the organisation's list of applications on their way.
            Rectangle {
                visible: row.modelData.originatedFromMDM === true
                implicitWidth: 14
                implicitHeight: 16
                color: "#5a6b7d"
                Accessible.role: Accessible.Graphic
                Accessible.name: "From your organisation"
                Grid {
                    anchors.centerIn: parent
                    columns: 2
                    spacing: 2
                    Repeater { model: 6; Rectangle { width: 3; height: 3; color: "white" } }
                }
            }
            // Name over its details; a long name is cut short, not the buttons.
            ColumnLayout {
                spacing: 0
                Layout.fillWidth: true
                KText {
                    text: row.modelData.displayName
                    font.weight: Font.DemiBold
                    elide: Text.ElideRight
                    wrapMode: Text.NoWrap
                    Layout.fillWidth: true
                }
                RowLayout {
                    spacing: Theme.s
                    Layout.fillWidth: true
                    KNote { text: row.modelData.fileCount + " file(s)"; font.pixelSize: Theme.captionSize }
                    KNote { text: "·"; font.pixelSize: Theme.captionSize; Accessible.ignored: true }
                    KNote {
                        text: sheet.expiryOf(row.modelData)
                        color: row.modelData.expired ? Theme.warning : Theme.subtleText
                        font.pixelSize: Theme.captionSize
                        Layout.fillWidth: true
                    }
                }
            }
            KButton {
                text: "Apply"
                Accessible.description: row.modelData.displayName
                onClicked: sheet.service.applyManually(row.modelData.id)
            }
            KButton {
                text: "Discard"
                Accessible.description: row.modelData.displayName
                onClicked: sheet.service.discard(row.modelData.id)
            }
        }
    }
    KText {
        visible: sheet.homebrew !== ""
        textFormat: Text.MarkdownText
        Accessible.name: text.replace(/`/g, "")
        text: "Homebrew detected at " + sheet.homebrew
              + " — run `brew bundle install` on your Brewfile to restore packages."
        Layout.fillWidth: true
    }

    buttons: [
        Item { Layout.fillWidth: true },
        KButton { text: "Close"; highlighted: true; onClicked: sheet.close() }
    ]
}
