import QtQuick
import QtQuick.Controls

// A push button that Enter activates as well as Space, and that answers a
// screen reader's press action (the stock one ignores it).
Button {
    Accessible.name: text
    Accessible.onPressAction: if (enabled) clicked()
    Keys.onReturnPressed: if (enabled) clicked()
    Keys.onEnterPressed: if (enabled) clicked()
}
