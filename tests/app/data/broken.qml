import QtQuick
import QtQuick.Window

Window {
    visible: true
    thisPropertyDoesNotExist: 1
}
