// SPDX-License-Identifier: Apache-2.0
pragma Singleton
import QtQuick

// One scale of spacing and type, and the colours the screens add to the
// desktop's palette. Everything follows the palette, so the window is light
// or dark as the desktop is.
QtObject {
    readonly property SystemPalette palette: SystemPalette { colorGroup: SystemPalette.Active }
    readonly property SystemPalette disabledPalette: SystemPalette { colorGroup: SystemPalette.Disabled }
    readonly property bool dark: palette.window.hslLightness < 0.5

    // Spacing, on a 4 px grid.
    readonly property int xs: 4
    readonly property int s: 8
    readonly property int m: 12
    readonly property int l: 16
    readonly property int xl: 24
    readonly property int xxl: 36
    // A column of text stays readable however wide the window is.
    readonly property int columnWidth: 640
    readonly property int radius: 8

    // Type, in pixels (a scale factor multiplies them like everything else).
    readonly property int captionSize: 12
    readonly property int bodySize: 14
    readonly property int titleSize: 16
    readonly property int headingSize: 26
    readonly property int displaySize: 44

    readonly property color text: palette.windowText
    readonly property color subtleText: Qt.rgba(text.r, text.g, text.b, 0.68)
    readonly property color accent: palette.highlight
    readonly property color accentSoft: Qt.rgba(accent.r, accent.g, accent.b, dark ? 0.22 : 0.12)
    readonly property color card: palette.base
    readonly property color cardBorder: Qt.rgba(text.r, text.g, text.b, dark ? 0.16 : 0.13)
    // A field's frame: clearer than a card's, as it asks for input.
    readonly property color fieldBorder: Qt.rgba(text.r, text.g, text.b, dark ? 0.34 : 0.30)
    readonly property color bar: Qt.darker(palette.window, dark ? 1.15 : 1.03)
    readonly property color separator: Qt.rgba(text.r, text.g, text.b, 0.12)
    readonly property color danger: dark ? "#ff7b72" : "#c01c28"
    readonly property color warning: dark ? "#f6d32d" : "#9c6e03"
    readonly property color success: dark ? "#57e389" : "#1f8a4c"
    readonly property color dangerSoft: Qt.rgba(danger.r, danger.g, danger.b, dark ? 0.18 : 0.10)
    readonly property color warningSoft: Qt.rgba(warning.r, warning.g, warning.b, dark ? 0.18 : 0.12)
    // Dims the window behind a modal sheet.
    readonly property color scrim: Qt.rgba(0, 0, 0, dark ? 0.5 : 0.3)
}
