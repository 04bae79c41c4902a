import QtQuick

Text {
    font.family: Theme.fontFamily
    font.pixelSize: Theme.fontSize
    color: Theme.muted
    opacity: 1
    horizontalAlignment: Text.AlignHCenter
    verticalAlignment: Text.AlignVCenter
    elide: Text.ElideRight
}
