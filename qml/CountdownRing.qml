// SPDX-License-Identifier: Apache-2.0
import QtQuick

// Seconds left of the code's window as a shrinking ring.
Item {
    id: ring
    property real seconds: 0
    property real total: 60
    implicitWidth: 64
    implicitHeight: 64
    Accessible.role: Accessible.ProgressBar
    Accessible.name: Math.ceil(seconds) + " seconds left"
    onSecondsChanged: canvas.requestPaint()
    Canvas {
        id: canvas
        anchors.fill: parent
        readonly property color track: Theme.cardBorder
        readonly property color fill: ring.seconds < 10 ? Theme.warning : Theme.accent
        onTrackChanged: requestPaint()
        onFillChanged: requestPaint()
        onPaint: {
            const ctx = getContext("2d")
            ctx.reset()
            ctx.lineWidth = 5
            ctx.lineCap = "round"
            ctx.strokeStyle = track
            ctx.beginPath()
            ctx.arc(width / 2, height / 2, width / 2 - 4, 0, 2 * Math.PI)
            ctx.stroke()
            ctx.strokeStyle = fill
            ctx.beginPath()
            const fraction = Math.max(0, Math.min(1, ring.seconds / ring.total))
            ctx.arc(width / 2, height / 2, width / 2 - 4, -Math.PI / 2, -Math.PI / 2 + 2 * Math.PI * fraction)
            ctx.stroke()
        }
    }
    Text {
        anchors.centerIn: parent
        text: Math.ceil(ring.seconds)
        font.pixelSize: Theme.titleSize + 2
        font.weight: Font.DemiBold
        color: Theme.text
    }
}
