import QtQuick
import QtQuick.Controls

// A check box bound to the session's selection, like KRadio.
CheckBox {
    checkable: false
    font.pixelSize: Theme.bodySize
    Accessible.name: text
    Accessible.onPressAction: if (enabled) clicked()
    Accessible.onToggleAction: if (enabled) clicked()
    Keys.onReturnPressed: if (enabled) clicked()
    Keys.onEnterPressed: if (enabled) clicked()
}
