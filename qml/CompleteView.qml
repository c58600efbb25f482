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
    // A category that arrived but could not be put in place failed as a whole: said once, in its words.
    Repeater {
        model: view.s.failedCategories || []
        delegate: Banner {
            required property var modelData
            kind: "danger"
            title: modelData.name + " not imported"
            text: modelData.reason
        }
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
            // Green only says all is well when something was checked and nothing failed.
            color: (view.s.verified || 0) > 0 && (view.s.mismatches || 0) === 0 ? Theme.success : Theme.text
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
    // The source's applications, offered for installing here; absent when there are none.
    readonly property var apps: typeof reinstallOffer !== "undefined" ? reinstallOffer : null
    readonly property bool appsShown: apps !== null && apps.available && view.appState.roleName === "destination"
    KSection {
        id: appsTitle
        visible: view.appsShown
        text: "Install Apps"
        Layout.fillWidth: true
    }
    KNote {
        visible: view.appsShown
        text: view.appState.say("These apps were installed on the other Mac from a software source. Choose which to install on this Mac.")
        Layout.fillWidth: true
    }
    Card {
        id: appsCard
        visible: view.appsShown
        spacing: Theme.m
        Repeater {
            model: view.apps !== null ? view.apps.rows : []
            delegate: RowLayout {
                id: appRow
                required property var modelData
                required property int index
                spacing: Theme.m
                Layout.fillWidth: true
                KCheck {
                    checked: appRow.modelData.checked
                    enabled: appRow.modelData.selectable && !view.apps.installing
                    onClicked: view.apps.setChecked(appRow.index, !checked)
                    Accessible.name: appRow.modelData.name
                    Accessible.description: appRow.modelData.detail
                }
                ColumnLayout {
                    spacing: 0
                    Layout.fillWidth: true
                    KText {
                        text: appRow.modelData.name
                        elide: Text.ElideRight
                        wrapMode: Text.NoWrap
                        Layout.fillWidth: true
                    }
                    KNote {
                        text: appRow.modelData.detail
                        font.pixelSize: Theme.captionSize
                        elide: Text.ElideMiddle
                        wrapMode: Text.NoWrap
                        Layout.fillWidth: true
                    }
                    KText {
                        visible: text !== ""
                        text: appRow.modelData.note
                        color: appRow.modelData.status === "failed" ? Theme.danger : Theme.subtleText
                        font.pixelSize: Theme.captionSize
                        Layout.fillWidth: true
                    }
                }
                KProgress {
                    visible: appRow.modelData.status === "installing" || appRow.modelData.status === "queued"
                    indeterminate: appRow.modelData.status === "installing"
                    value: appRow.modelData.percent / 100
                    Layout.preferredWidth: 96
                    Accessible.name: appRow.modelData.status === "installing" ? "Installing" : "Waiting"
                }
                KText {
                    readonly property string st: appRow.modelData.status
                    visible: text !== ""
                    text: st === "installed" ? "Installed" : st === "failed" ? "Failed"
                        : st === "present" || st === "skipped" ? "Already installed" : ""
                    color: st === "installed" ? Theme.success : st === "failed" ? Theme.danger : Theme.subtleText
                    wrapMode: Text.NoWrap
                }
            }
        }
        RowLayout {
            Layout.fillWidth: true
            Layout.topMargin: Theme.xs
            spacing: Theme.m
            KNote {
                text: view.apps === null ? ""
                    : view.apps.installing ? "Installing…"
                    : view.apps.finished ? view.apps.outcomeText
                    : view.apps.checkedCount + " selected"
                Layout.fillWidth: true
            }
            KButton {
                id: installButton
                text: view.apps !== null && view.apps.finished && view.apps.checkedCount > 0 ? "Try Again" : "Install"
                enabled: view.apps !== null && !view.apps.installing && view.apps.checkedCount > 0
                onClicked: view.apps.install()
            }
        }
    }
    // Brings the apps into view (the pictures of the screens show them).
    function showApps() {
        var flick = appsCard.parent
        while (flick && flick.contentY === undefined)
            flick = flick.parent
        if (flick)
            flick.contentY = Math.max(0, Math.min(appsTitle.mapToItem(flick.contentItem, 0, 0).y - Theme.l,
                                                  flick.contentHeight - flick.height))
        installButton.forceActiveFocus()
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
