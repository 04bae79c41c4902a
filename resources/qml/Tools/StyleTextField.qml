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
    // One line that scrolls with the cursor, as a one-line field does: a wrapped text would
    // show only its last line, the tops of the others cut off.
    wrapMode: TextInput.NoWrap
    clip: true
    selectByMouse: true

    background: Rectangle {
        implicitWidth: 200
        implicitHeight: 35
        radius: 2
        color: control.colorBackground
    }
}
