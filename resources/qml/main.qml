import QtQuick
import QtQuick.Window

Window {
    id: mainWindow
    title: "Vexar Anonymizer"
    width: 500
    height: 650
    visible: true

    Component.onCompleted: Handler.receiveFromQml("qmlCompleted", "")
}
