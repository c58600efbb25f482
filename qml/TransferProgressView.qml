// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    required property var feed
    readonly property bool isSource: appState.roleName === "source"
    readonly property bool waiting: !isSource && feed.phase === "waiting"
    title: feed.phase === "verifying" ? "Verifying Files…"
         : isSource ? "Transferring Your Data"
         : waiting ? appState.say("Waiting for the Source Mac") : "Receiving Your Data"

    // Nothing to act on until cancelling is offered: no empty bar meanwhile.
    showsActions: feed.cancelAvailable

    Component.onCompleted: {
        feed.screenShown()
        appState.startTransfer()
    }
    Component.onDestruction: feed.screenHidden()

    Card {
        padding: Theme.xl
        RowLayout {
            Layout.fillWidth: true
            KText {
                text: Math.floor(view.feed.fraction * 100) + "%"
                font.pixelSize: Theme.displaySize
                font.weight: Font.DemiBold
                Accessible.ignored: true
            }
            Item { Layout.fillWidth: true }
            BusyIndicator {
                visible: view.waiting
                running: visible
                Accessible.name: "Waiting"
            }
        }
        KProgress {
            value: view.feed.fraction
            indeterminate: view.waiting
            Layout.fillWidth: true
            Accessible.name: "Transfer progress"
        }
        KNote {
            visible: text !== ""
            text: view.feed.currentFile
            elide: Text.ElideMiddle
            wrapMode: Text.NoWrap
            Layout.fillWidth: true
        }
        Rectangle {
            Layout.fillWidth: true
            Layout.topMargin: Theme.s
            Layout.bottomMargin: Theme.s
            implicitHeight: 1
            color: Theme.separator
        }
        GridLayout {
            columns: 2
            rowSpacing: Theme.m
            columnSpacing: Theme.l
            Layout.fillWidth: true
            StatTile { label: "Transferred"; value: view.feed.transferredText }
            StatTile { label: "Files"; value: view.feed.filesText }
            StatTile { label: "Speed"; value: view.feed.speedText }
            StatTile { label: "Remaining"; value: view.feed.remainingText }
        }
    }
    Banner {
        visible: view.feed.fileErrorCount > 0
        kind: "warning"
        text: view.feed.fileErrorCount + " file(s) had issues"
    }

    buttons: [
        Item { Layout.fillWidth: true },
        KButton {
            text: "Cancel Transfer"
            visible: view.feed.cancelAvailable
            onClicked: view.appState.cancelTransfer()
        }
    ]
}
