// SPDX-License-Identifier: Apache-2.0
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Six single-digit boxes. A digit moves on, Backspace on an empty box goes
// back, a pasted code fills the boxes from here on, anything but digits is
// dropped. `entered` fires once all six hold a digit.
RowLayout {
    id: entry
    signal entered(string code)
    property bool busy: false
    spacing: Theme.s
    Accessible.role: Accessible.Grouping
    Accessible.name: "Pairing code, 6 digits"

    function code() {
        let c = ""
        for (let i = 0; i < 6; ++i)
            c += boxes.itemAt(i).text
        return c
    }
    function clear() {
        for (let i = 0; i < 6; ++i)
            boxes.itemAt(i).text = ""
        boxes.itemAt(0).forceActiveFocus()
    }
    function fillFrom(index, digits) {
        let i = index
        for (const d of digits) {
            if (i >= 6)
                break
            boxes.itemAt(i).text = d
            ++i
        }
        boxes.itemAt(Math.min(i, 5)).forceActiveFocus()
        const c = code()
        if (c.length === 6 && !busy)
            entered(c)
    }

    Repeater {
        id: boxes
        model: 6
        delegate: TextField {
            id: box
            required property int index
            enabled: !entry.busy
            focus: index === 0
            horizontalAlignment: TextInput.AlignHCenter
            font.pixelSize: Theme.headingSize + 4
            font.weight: Font.DemiBold
            Layout.preferredWidth: 52
            Layout.preferredHeight: 64
            // The style's own frame all but vanishes on a dark palette.
            background: Rectangle {
                radius: 6
                color: Theme.card
                border.width: box.activeFocus ? 2 : 1
                border.color: box.activeFocus ? Theme.accent : Theme.fieldBorder
                opacity: box.enabled ? 1 : 0.6
            }
            // Two groups of three, as the code is shown on the other computer.
            Layout.leftMargin: index === 3 ? Theme.l : 0
            inputMethodHints: Qt.ImhDigitsOnly
            Accessible.name: "Pairing code, 6 digits, digit " + (index + 1)
            property string held: ""
            onTextChanged: if (text.length <= 1) held = text
            onTextEdited: {
                const before = held
                const digits = text.replace(/[^0-9]/g, "")
                if (digits.length <= 1) {
                    if (text !== digits)
                        text = digits
                    if (digits.length === 1)
                        entry.fillFrom(index, digits)
                    return
                }
                // A digit typed over a full box replaces it; more is a paste.
                const typedOver = digits.length === 2 && before !== "" && digits.indexOf(before) >= 0
                text = ""
                entry.fillFrom(index, typedOver ? digits.replace(before, "") : digits)
            }
            Keys.onPressed: (event) => {
                if (event.key === Qt.Key_Backspace && text === "" && index > 0) {
                    const previous = boxes.itemAt(index - 1)
                    previous.text = ""
                    previous.forceActiveFocus()
                    event.accepted = true
                }
            }
        }
    }
}
