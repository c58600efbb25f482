import QtQuick
import QtQuick.Controls

// A radio button that shows the session's value: it never checks itself, the
// click asks the session and the binding follows.
RadioButton {
    checkable: false
    font.pixelSize: Theme.bodySize
    Accessible.name: text
    Accessible.onPressAction: if (enabled) clicked()
    Keys.onReturnPressed: if (enabled) clicked()
    Keys.onEnterPressed: if (enabled) clicked()
}
