// SPDX-License-Identifier: Apache-2.0
import QtQuick

// The application's own line icons, drawn at any size in one colour with a
// soft fill: computers, the arrow between them, and the outcomes.
Canvas {
    id: icon
    property string name
    property color color: Theme.accent
    property int size: 48
    implicitWidth: size
    implicitHeight: size
    Accessible.ignored: true
    onNameChanged: requestPaint()
    onColorChanged: requestPaint()
    onWidthChanged: requestPaint()

    // A screen of the given box (in a 64-unit square) on its stand.
    function computer(ctx, x, y, w, h) {
        const r = 3
        ctx.beginPath()
        ctx.roundedRect(x, y, w, h, r, r)
        ctx.fill()
        ctx.stroke()
        ctx.beginPath()
        ctx.moveTo(x + w / 2, y + h)
        ctx.lineTo(x + w / 2, y + h + 6)
        ctx.moveTo(x + w / 2 - w / 4, y + h + 7)
        ctx.lineTo(x + w / 2 + w / 4, y + h + 7)
        ctx.stroke()
    }
    function arrow(ctx, x1, y, x2) {
        const head = x2 > x1 ? -5 : 5
        ctx.beginPath()
        ctx.moveTo(x1, y)
        ctx.lineTo(x2, y)
        ctx.moveTo(x2 + head, y - 5)
        ctx.lineTo(x2, y)
        ctx.lineTo(x2 + head, y + 5)
        ctx.stroke()
    }
    function circle(ctx, cx, cy, r) {
        ctx.beginPath()
        ctx.arc(cx, cy, r, 0, 2 * Math.PI)
        ctx.fill()
        ctx.stroke()
    }
    function polyline(ctx, points) {
        ctx.beginPath()
        ctx.moveTo(points[0], points[1])
        for (let i = 2; i < points.length; i += 2)
            ctx.lineTo(points[i], points[i + 1])
        ctx.stroke()
    }

    onPaint: {
        const ctx = getContext("2d")
        ctx.reset()
        ctx.scale(width / 64, height / 64)
        ctx.lineWidth = 3
        ctx.lineCap = "round"
        ctx.lineJoin = "round"
        ctx.strokeStyle = icon.color
        ctx.fillStyle = Qt.rgba(icon.color.r, icon.color.g, icon.color.b, 0.14)
        switch (icon.name) {
        case "migrate":
            computer(ctx, 3, 14, 22, 17)
            computer(ctx, 39, 14, 22, 17)
            arrow(ctx, 26, 22.5, 38)
            polyline(ctx, [10, 47, 54, 47])
            break
        case "source":
            computer(ctx, 6, 12, 34, 26)
            arrow(ctx, 44, 25, 60)
            break
        case "destination":
            computer(ctx, 24, 12, 34, 26)
            arrow(ctx, 4, 25, 20)
            break
        case "broadcast":
            computer(ctx, 17, 24, 30, 22)
            ctx.beginPath()
            ctx.arc(32, 22, 10, -Math.PI * 0.8, -Math.PI * 0.2)
            ctx.stroke()
            ctx.beginPath()
            ctx.arc(32, 22, 18, -Math.PI * 0.78, -Math.PI * 0.22)
            ctx.stroke()
            break
        case "search":
            circle(ctx, 27, 27, 15)
            polyline(ctx, [38, 38, 54, 54])
            break
        case "lock":
            ctx.beginPath()
            ctx.roundedRect(14, 28, 36, 26, 4, 4)
            ctx.fill()
            ctx.stroke()
            ctx.beginPath()
            ctx.arc(32, 28, 11, Math.PI, 2 * Math.PI)
            ctx.stroke()
            polyline(ctx, [32, 38, 32, 44])
            break
        case "person":
            circle(ctx, 32, 22, 10)
            ctx.beginPath()
            ctx.arc(32, 56, 20, Math.PI, 2 * Math.PI)
            ctx.fill()
            ctx.stroke()
            break
        case "checklist":
            ctx.beginPath()
            ctx.roundedRect(12, 8, 40, 50, 4, 4)
            ctx.fill()
            ctx.stroke()
            for (const y of [22, 34, 46]) {
                polyline(ctx, [19, y, 22, y + 3, 27, y - 3])
                polyline(ctx, [32, y, 45, y])
            }
            break
        case "success":
            circle(ctx, 32, 32, 26)
            polyline(ctx, [20, 33, 28, 41, 45, 24])
            break
        case "issues":
        case "warning":
            ctx.beginPath()
            ctx.moveTo(32, 7)
            ctx.lineTo(59, 55)
            ctx.lineTo(5, 55)
            ctx.closePath()
            ctx.fill()
            ctx.stroke()
            polyline(ctx, [32, 24, 32, 38])
            polyline(ctx, [32, 46, 32, 46.5])
            break
        case "cancelled":
            circle(ctx, 32, 32, 26)
            polyline(ctx, [22, 22, 42, 42])
            polyline(ctx, [42, 22, 22, 42])
            break
        case "info":
            circle(ctx, 32, 32, 26)
            polyline(ctx, [32, 29, 32, 45])
            polyline(ctx, [32, 20, 32, 20.5])
            break
        case "managed":
            ctx.beginPath()
            ctx.moveTo(32, 6)
            ctx.lineTo(54, 14)
            ctx.lineTo(54, 32)
            ctx.quadraticCurveTo(54, 50, 32, 58)
            ctx.quadraticCurveTo(10, 50, 10, 32)
            ctx.lineTo(10, 14)
            ctx.closePath()
            ctx.fill()
            ctx.stroke()
            polyline(ctx, [22, 32, 29, 39, 42, 25])
            break
        }
    }
}
