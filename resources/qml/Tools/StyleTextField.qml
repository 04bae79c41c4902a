import QtQuick
import QtQuick.Controls.Basic

TextField {
    id: control

    property string colorBackground: Theme.accent

    font.family: Theme.fontFamily
    font.pixelSize: Theme.fontSize
    font.bold: false
    color: Theme.text
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
        radius: Theme.radius
        color: control.colorBackground
    }
}
