import QtQuick

KText {
    font.pixelSize: 24
    font.bold: true
    Accessible.role: Accessible.Heading
}
