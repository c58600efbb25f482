// SPDX-License-Identifier: Apache-2.0
import QtQuick

// A secondary line: what something means, or where it stands.
KText {
    color: Theme.subtleText
}
