import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The program's on/off switch: a rounded track, its knob lit when on, and a tip on hover.
Switch {
    id: styleSwitch

    property alias tip: switchTip.text

    Layout.preferredWidth: 55
    Layout.fillHeight: true

    indicator: Rectangle {
        implicitWidth: 46
        implicitHeight: 24
        x: styleSwitch.leftPadding
        y: (styleSwitch.height - height) / 2
        radius: 12
        color: styleSwitch.checked ? Theme.switchTrack : Theme.neutral
        border.color: styleSwitch.checked ? Theme.switchLight : Theme.neutral

        Rectangle {
            x: styleSwitch.checked ? parent.width - width : 0
            y: (parent.height - height) / 2
            width: 22
            height: 22
            radius: 11
            color: styleSwitch.checked ? Theme.highlight : Theme.switchLight
        }
    }
    contentItem: Item { }

    HoverTip {
        id: switchTip
        objectName: "switchTip"
    }
}
