// SPDX-License-Identifier: Apache-2.0
import QtQuick

KText {
    font.pixelSize: Theme.headingSize
    font.weight: Font.DemiBold
    Accessible.role: Accessible.Heading
}
