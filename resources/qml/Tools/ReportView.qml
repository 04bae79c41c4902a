import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Window

// A job's report shown inside the program, where no program of the system opens it: its path,
// then its text, read-only and selectable. Escape or the close button hides it.
Window {
    id: view

    property string path: ""
    property alias text: body.text

    function showReport(path, text) {
        view.path = path
        body.text = text
        view.show()
        view.raise()
        view.requestActivate()
    }

    title: qsTr("Report")
    width: 560
    height: 460
    minimumWidth: 360
    minimumHeight: 240
    visible: false
    color: Theme.ground

    Shortcut {
        sequences: [StandardKey.Cancel]
        onActivated: view.close()
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: Theme.margin
        spacing: Theme.margin

        RowLayout {
            Layout.fillWidth: true
            spacing: Theme.margin

            StyleText {
                objectName: "reportPath"
                Layout.fillWidth: true
                text: view.path
                color: Theme.text
                horizontalAlignment: Text.AlignLeft
                elide: Text.ElideMiddle
            }
            StyleButton {
                objectName: "reportClose"
                text: qsTr("Close")
                onClicked: view.close()
            }
        }

        ScrollView {
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true

            TextArea {
                id: body
                objectName: "reportText"
                readOnly: true
                selectByMouse: true
                wrapMode: TextEdit.NoWrap
                color: Theme.text
                font.family: Theme.monoFamily
                font.pixelSize: Theme.fontSize - 2
                background: Rectangle {
                    color: Theme.fieldGround
                    radius: Theme.radius
                }
            }
        }
    }
}
