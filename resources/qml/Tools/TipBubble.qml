import QtQuick
import QtQuick.Controls.Basic

// The look of every tool tip the controls show: white text on the control ground. Shown and
// hidden only by its owner (no delay, no timeout of its own).
ToolTip {
    id: bubble

    delay: 0
    timeout: -1

    contentItem: Text {
        text: bubble.text
        font: bubble.font
        color: Theme.text
        wrapMode: Text.Wrap
    }
    background: Rectangle {
        color: Theme.controlGround
        border.color: Theme.fieldGround
        radius: Theme.radius
    }
}
