import QtQuick

// A secondary line: what something means, or where it stands.
KText {
    color: Theme.subtleText
}
