import QtQuick
import QtQuick.Controls.Basic

// A flat button on the dark ground. A disabled button keeps its idle ground whatever the
// pointer does; only its text turns grey.
Button {
    id: control

    property string colorBackground: Theme.controlGround
    property string colorDown: Theme.controlGround
    property string colorHovered: Theme.accent
    property color textColor: Theme.text

    // The ground in force, first match wins: disabled, pressed, hovered, idle.
    readonly property string groundColor: !control.enabled ? control.colorBackground
                                        : control.down ? control.colorDown
                                        : control.hovered ? control.colorHovered
                                        : control.colorBackground

    // Hover colours show on every platform, not only where the style turns hovering on.
    hoverEnabled: true
    font.family: Theme.fontFamily
    font.pixelSize: Theme.fontSize
    font.bold: false

    contentItem: Text {
        text: control.text
        font: control.font
        color: control.enabled ? control.textColor : Theme.neutral
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        implicitWidth: 100
        implicitHeight: 40
        radius: Theme.radius
        color: control.groundColor
    }
}
