import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

WizardPage {
    id: view
    required property var appState
    required property var feed
    readonly property bool isSource: appState.roleName === "source"
    title: feed.phase === "verifying" ? "Verifying Files…"
         : isSource ? "Transferring Your Data"
         : feed.phase === "waiting" ? "Waiting for the Source Mac" : "Receiving Your Data"

    Component.onCompleted: {
        feed.screenShown()
        appState.startTransfer()
    }
    Component.onDestruction: feed.screenHidden()

    ProgressBar {
        value: view.feed.fraction
        Layout.fillWidth: true
        Accessible.name: "Transfer progress"
    }
    GridLayout {
        columns: 2
        columnSpacing: 16
        Layout.fillWidth: true
        KText { text: "Transferred"; font.bold: true }
        KText { text: view.feed.transferredText; Layout.fillWidth: true }
        KText { text: "Speed"; font.bold: true }
        KText { text: view.feed.speedText; Layout.fillWidth: true }
        KText { text: "Remaining"; font.bold: true }
        KText { text: view.feed.remainingText; Layout.fillWidth: true }
    }
    KText {
        visible: text !== ""
        text: view.feed.currentFile
        elide: Text.ElideMiddle
        wrapMode: Text.NoWrap
        opacity: 0.7
        Layout.fillWidth: true
    }
    KText {
        visible: view.feed.fileErrorCount > 0
        text: view.feed.fileErrorCount + " file(s) had issues"
        Layout.fillWidth: true
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
