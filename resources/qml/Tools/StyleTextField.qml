import QtQuick
import QtQuick.Controls.Basic

TextField {
    id: control

    property string colorBackground: "#1C5271"

    font.family: "Helvetica"
    font.pixelSize: 14
    font.bold: false
    color: "#FFFFFF"
    opacity: 1
    horizontalAlignment: TextInput.AlignLeft
    verticalAlignment: TextInput.AlignVCenter
    wrapMode: TextInput.WordWrap
    selectByMouse: true

    background: Rectangle {
        implicitWidth: 200
        implicitHeight: 35
        radius: 2
        color: control.colorBackground
    }
}
