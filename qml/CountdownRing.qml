import QtQuick

// Seconds left of the code's window as a shrinking ring.
Item {
    id: ring
    property real seconds: 0
    property real total: 60
    implicitWidth: 72
    implicitHeight: 72
    Accessible.role: Accessible.ProgressBar
    Accessible.name: Math.ceil(seconds) + " seconds left"
    onSecondsChanged: canvas.requestPaint()
    Canvas {
        id: canvas
        anchors.fill: parent
        onPaint: {
            const ctx = getContext("2d")
            ctx.reset()
            ctx.lineWidth = 6
            ctx.strokeStyle = "#d0d0d0"
            ctx.beginPath()
            ctx.arc(width / 2, height / 2, width / 2 - 4, 0, 2 * Math.PI)
            ctx.stroke()
            ctx.strokeStyle = "#2f6fdf"
            ctx.beginPath()
            const fraction = Math.max(0, Math.min(1, ring.seconds / ring.total))
            ctx.arc(width / 2, height / 2, width / 2 - 4, -Math.PI / 2, -Math.PI / 2 + 2 * Math.PI * fraction)
            ctx.stroke()
        }
    }
    Text {
        anchors.centerIn: parent
        text: Math.ceil(ring.seconds)
        font.pixelSize: 20
    }
}
