// SPDX-License-Identifier: Apache-2.0
import QtQuick

// The title of a group of lines within a screen.
KText {
    font.pixelSize: Theme.titleSize
    font.weight: Font.DemiBold
    topPadding: Theme.s
    Accessible.role: Accessible.Heading
}
