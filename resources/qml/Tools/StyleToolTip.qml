import QtQuick
import QtQuick.Controls.Basic

// A tip shown for a fixed time by start(). It fills its parent, so the tip sits where a
// standard tool tip of that parent would: centred above it.
Item {
    id: root

    property string text: ""
    property int interval: 1000
    readonly property bool shown: tip.visible

    // A call while the tip is showing does not extend it: the tip still hides when the
    // first interval ends.
    function start() {
        if (timer.running)
            return
        tip.open()
        timer.start()
    }

    anchors.fill: parent

    ToolTip {
        id: tip
        text: root.text
        delay: 0
        timeout: -1
        enter: null
        exit: null

        contentItem: Text {
            text: tip.text
            font: tip.font
            color: "white"
        }
        background: Rectangle {
            color: "#1A2138"
            border.color: "#222B45"
            radius: 2
        }
    }

    Timer {
        id: timer
        interval: root.interval
        repeat: false
        onTriggered: tip.close()
    }
}
