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

    RowLayout {
        visible: view.checker !== null && view.checker.isRunning
        spacing: Theme.m
        BusyIndicator { running: parent.visible; implicitWidth: 28; implicitHeight: 28; Accessible.name: "Running checks…" }
        KNote { text: "Running checks…"; Layout.fillWidth: true }
    }
    Repeater {
        model: view.checker !== null && !view.checker.isRunning ? view.checker.blockers : []
        delegate: Banner {
            required property var modelData
            kind: "danger"
            text: "Blocker: " + modelData
        }
    }
    Repeater {
        model: view.checker !== null && !view.checker.isRunning ? view.checker.warnings : []
        delegate: Banner {
            required property var modelData
            kind: "warning"
            text: "Warning: " + modelData
        }
    }
    RowLayout {
        visible: view.checker !== null && view.checker.hasRun && !view.checker.isRunning
                 && view.checker.blockers.length === 0 && view.checker.warnings.length === 0
        spacing: Theme.s
        Icon { name: "success"; color: Theme.success; size: 24 }
        KText { text: "All checks passed."; Layout.fillWidth: true }
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
        KButton {
            text: "Start Migration"
            highlighted: true
            // A blocker found stops the migration here; warnings only inform.
            enabled: view.checker === null || view.checker.isRunning || view.checker.blockers.length === 0
            onClicked: view.appState.goToNext()
        }
    ]
}
