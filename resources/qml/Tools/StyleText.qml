import QtQuick

Text {
    font.family: "Helvetica"
    font.pixelSize: 14
    color: "#8F9BB3"
    opacity: 1
    horizontalAlignment: Text.AlignHCenter
    verticalAlignment: Text.AlignVCenter
    elide: Text.ElideRight
}
