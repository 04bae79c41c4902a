import QtQuick
import QtQuick.Controls.Basic

// An icon that cycles through a list of modes, one step per click, skipping the indexes in
// unuse_indexes. The hover tip appears after the pointer has rested on it for a second.
Rectangle {
    id: root

    property string toolTipText: ""
    property var mode_list: []
    property int mode_index: 0
    property var unuse_indexes: []
    property url source: root.modeSource(root.mode_index)
    property color enterColor: Theme.controlGround
    // How long the pointer rests on the icon before the tip shows.
    property int toolTipDelay: Theme.tipTime
    readonly property bool toolTipShown: tip.visible

    signal clickButton

    function modeSource(index) {
        if (!root.mode_list || index < 0 || index >= root.mode_list.length)
            return ""
        return root.mode_list[index].source
    }

    // Steps past every listed index; falling off the end wraps onto the first mode, which is
    // taken even when it is listed itself.
    function nextMode() {
        var index = root.mode_index + 1
        while (root.unuse_indexes && root.unuse_indexes.indexOf(index) !== -1)
            index++
        if (!root.mode_list || index >= root.mode_list.length)
            index = 0
        root.mode_index = index
        root.source = root.modeSource(index)
        root.clickButton()
    }

    color: mouseArea.containsMouse ? root.enterColor : "transparent"

    Image {
        anchors.fill: parent
        source: root.source
        fillMode: Image.PreserveAspectFit
        smooth: true
        mipmap: true
    }

    MouseArea {
        id: mouseArea
        anchors.fill: parent
        hoverEnabled: true
        onEntered: hoverTimer.start()
        onExited: {
            hoverTimer.stop()
            tip.close()
        }
        onReleased: root.nextMode()
    }

    Timer {
        id: hoverTimer
        interval: root.toolTipDelay
        onTriggered: tip.open()
    }

    TipBubble {
        id: tip
        text: root.toolTipText
    }
}
