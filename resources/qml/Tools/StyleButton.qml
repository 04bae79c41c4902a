import QtQuick
import QtQuick.Controls.Basic

// A flat button on the dark ground. A disabled button keeps its idle ground whatever the
// pointer does; only its text turns grey.
Button {
    id: control

    property string colorBackground: "#1A2138"
    property string colorDown: "#1A2138"
    property string colorHovered: "#1C5271"
    property color textColor: "white"

    // The ground in force, first match wins: disabled, pressed, hovered, idle.
    readonly property string groundColor: !control.enabled ? control.colorBackground
                                        : control.down ? control.colorDown
                                        : control.hovered ? control.colorHovered
                                        : control.colorBackground

    // Hover colours show on every platform, not only where the style turns hovering on.
    hoverEnabled: true
    font.family: "Helvetica"
    font.pixelSize: 14
    font.bold: false

    contentItem: Text {
        text: control.text
        font: control.font
        color: control.enabled ? control.textColor : "gray"
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        implicitWidth: 100
        implicitHeight: 40
        radius: 2
        color: control.groundColor
    }
}
