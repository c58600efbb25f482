// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The wizard: a header bar with the steps, and the one screen of the current step.
FocusScope {
    id: root
    required property var appState
    required property var feed

    ColumnLayout {
        anchors.fill: parent
        spacing: 0
        Rectangle {
            Layout.fillWidth: true
            implicitHeight: header.implicitHeight + 2 * Theme.m
            color: Theme.bar
            RowLayout {
                id: header
                anchors.fill: parent
                anchors.leftMargin: Theme.l
                anchors.rightMargin: Theme.l
                spacing: Theme.l
                Label {
                    text: "kivo"
                    font.pixelSize: Theme.titleSize
                    font.weight: Font.Bold
                    color: Theme.text
                    Accessible.ignored: true
                }
                Item { Layout.fillWidth: true }
                StepIndicator {
                    appState: root.appState
                }
                Item { Layout.fillWidth: true }
                // Balances the name so the steps sit in the middle.
                Item { implicitWidth: 32 }
            }
        }
        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: Theme.separator
        }
        Rectangle {
            visible: root.appState.demoMode
            color: Theme.warningSoft
            Layout.fillWidth: true
            implicitHeight: demoLabel.implicitHeight + Theme.m
            KText {
                id: demoLabel
                anchors.centerIn: parent
                text: "Demo Mode Active"
                font.bold: true
            }
        }
        Loader {
            id: page
            Layout.fillWidth: true
            Layout.fillHeight: true
            focus: true
            sourceComponent: [welcome, role, discovery, pairing, mapping, manifest, preflight, summary,
                              progress, complete][root.appState.stepValue]
            onLoaded: item.forceActiveFocus()
        }
    }

    Component { id: welcome; WelcomeView { appState: root.appState } }
    Component { id: role; RoleSelectionView { appState: root.appState } }
    Component { id: discovery; DiscoveryView { appState: root.appState } }
    Component { id: pairing; PairingCodeView { appState: root.appState } }
    Component { id: mapping; UserMappingView { appState: root.appState } }
    Component { id: manifest; ManifestView { appState: root.appState } }
    Component { id: preflight; PreflightView { appState: root.appState } }
    Component { id: summary; PreFlightSummaryView { appState: root.appState } }
    Component { id: progress; TransferProgressView { appState: root.appState; feed: root.feed } }
    Component { id: complete; CompleteView { appState: root.appState; feed: root.feed } }
}
