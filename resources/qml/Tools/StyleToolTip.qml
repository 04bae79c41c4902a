import QtQuick
import QtQuick.Controls.Basic

// A tip shown for a fixed time by start(). It fills its parent, so the tip sits where a
// standard tool tip of that parent would: centred above it.
Item {
    id: root

    property string text: ""
    property int interval: Theme.tipTime
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

    TipBubble {
        id: tip
        text: root.text
        enter: null
        exit: null
    }

    Timer {
        id: timer
        interval: root.interval
        onTriggered: tip.close()
    }
}
