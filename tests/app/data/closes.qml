import QtQuick
import QtQuick.Window

Window {
    id: window
    visible: true
    Component.onCompleted: Handler.receiveFromQml("qmlCompleted", "")
    Timer { interval: 100; running: true; onTriggered: window.close() }
}
