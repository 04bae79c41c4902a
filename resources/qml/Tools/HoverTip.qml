import QtQuick
import QtQuick.Controls.Basic

// The tip of a control that has no tip of its own: fills its parent and shows `text` in the
// program's look while the pointer rests on it. It takes no clicks.
Item {
    id: root

    property string text: ""
    property int delay: Theme.tipTime
    readonly property bool shown: bubble.visible

    anchors.fill: parent

    HoverHandler {
        id: hover
        onHoveredChanged: {
            if (hover.hovered && root.text !== "")
                timer.start()
            else {
                timer.stop()
                bubble.close()
            }
        }
    }

    Timer {
        id: timer
        interval: root.delay
        onTriggered: bubble.open()
    }

    TipBubble {
        id: bubble
        text: root.text
        width: Math.min(implicitWidth, 320)
    }
}
