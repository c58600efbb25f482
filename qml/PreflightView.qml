// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    readonly property var checker: appState.preflightChecker
    readonly property var profile: appState.profileManager
    readonly property bool policyLocked: profile !== null && profile.conflictPolicy !== ""
    readonly property bool bandwidthLocked: profile !== null && profile.maxTransferMbps > 0
    title: "Pre-flight checks"
    subtitle: "A quick health check before the migration starts."

    Component.onCompleted: appState.checkReadiness()

    // One line per check, its findings beneath it.
    Card {
        Accessible.role: Accessible.List
        Accessible.name: "Checks"
        spacing: 0
        RowLayout {
            visible: view.checker !== null && (view.checker.isRunning || !view.checker.hasRun)
            spacing: Theme.m
            BusyIndicator { running: parent.visible; implicitWidth: 28; implicitHeight: 28; Accessible.name: "Running checks…" }
            KNote { text: "Running checks…"; Layout.fillWidth: true }
        }
        Repeater {
            model: view.appState.preflightChecks
            delegate: ColumnLayout {
                id: check
                required property var modelData
                required property int index
                readonly property color tone: modelData.outcome === "failed" ? Theme.danger
                                            : modelData.outcome === "warning" ? Theme.warning : Theme.success
                readonly property string outcomeText: modelData.outcome === "failed" ? "Failed"
                                                    : modelData.outcome === "warning" ? "Warning" : "Passed"
                spacing: Theme.xs
                Layout.fillWidth: true
                Accessible.role: Accessible.ListItem
                Accessible.name: modelData.title + ": " + outcomeText
                Accessible.description: modelData.findings.join(" ")
                Rectangle {
                    visible: check.index > 0
                    color: Theme.separator
                    implicitHeight: 1
                    Layout.fillWidth: true
                    Layout.topMargin: Theme.s
                    Layout.bottomMargin: Theme.s
                }
                RowLayout {
                    spacing: Theme.m
                    Layout.fillWidth: true
                    Icon {
                        name: check.modelData.outcome === "failed" ? "cancelled"
                            : check.modelData.outcome === "warning" ? "warning" : "success"
                        color: check.tone
                        size: 20
                    }
                    KText { text: check.modelData.title; Layout.fillWidth: true }
                    KNote {
                        visible: text !== ""
                        text: check.modelData.outcome === "passed" ? check.modelData.detail : ""
                        font.pixelSize: Theme.captionSize
                    }
                    KText {
                        text: check.outcomeText
                        color: check.modelData.outcome === "passed" ? Theme.subtleText : check.tone
                        font.pixelSize: Theme.captionSize
                        font.weight: check.modelData.outcome === "passed" ? Font.Normal : Font.DemiBold
                    }
                }
                Repeater {
                    model: check.modelData.findings
                    delegate: KNote {
                        required property var modelData
                        text: view.appState.say(modelData)
                        Layout.leftMargin: 20 + Theme.m
                        Layout.fillWidth: true
                    }
                }
                // A check only a category fails is passed by leaving that category out.
                KButton {
                    visible: check.modelData.leaveOut !== ""
                    text: check.modelData.leaveOutText
                    Layout.leftMargin: 20 + Theme.m
                    Layout.topMargin: Theme.xs
                    onClicked: view.appState.leaveOutCategory(check.modelData.leaveOut)
                }
            }
        }
    }

    Card {
        PolicyPicker {
            appState: view.appState
            locked: view.policyLocked
            lockedText: "Locked by your organisation’s configuration profile."
            lockedPolicy: view.profile !== null ? view.profile.conflictPolicy : ""
        }
    }

    Card {
        Accessible.role: Accessible.Grouping
        Accessible.name: "Bandwidth"
        KSection { text: "Bandwidth"; topPadding: 0; Layout.fillWidth: true }
        Repeater {
            model: [
                { mbps: 0, label: "No limit" },
                { mbps: 50, label: "50 Mbps (work mostly)" },
                { mbps: 25, label: "25 Mbps (background)" }
            ]
            delegate: KRadio {
                required property var modelData
                text: modelData.label
                enabled: !view.bandwidthLocked
                checked: view.appState.bandwidthMbps === modelData.mbps
                onClicked: view.appState.bandwidthMbps = modelData.mbps
            }
        }
        KNote {
            text: "Choose ‘work mostly’ to keep enough headroom for video calls during the migration."
            Layout.fillWidth: true
        }
        KText {
            visible: view.bandwidthLocked
            text: "Locked by your organisation’s configuration profile ("
                  + (view.profile !== null ? view.profile.maxTransferMbps : "") + " Mbps)."
            color: Theme.subtleText
            Layout.fillWidth: true
        }
    }

    buttons: [
        KButton {
            text: "Back"
            onClicked: view.appState.goBack()
        },
        Item { Layout.fillWidth: true },
        // What failed may be put right outside kivo (a keyring unlocked, space freed).
        KButton {
            text: "Check Again"
            visible: view.checker !== null && view.checker.hasRun && !view.checker.isRunning
                     && view.checker.blockers.length > 0
            onClicked: view.appState.checkReadiness()
        },
        KButton {
            text: "Start Migration"
            highlighted: true
            // Only checks that ran to the end and found no blocker let the migration start;
            // warnings only inform.
            enabled: view.checker !== null && view.checker.hasRun && !view.checker.isRunning
                     && view.checker.blockers.length === 0
            onClicked: view.appState.goToNext()
        }
    ]
}
