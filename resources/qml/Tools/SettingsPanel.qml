import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Window

// The user's profile as the service keeps it (first name, surname, e-mail, organisation),
// the running version and a light for the connection state. It never talks to the core
// itself: it reports a submission through submit(text) and is filled by its owner.
Window {
    id: settingsPanel

    property string current_version: ""
    property bool isLoad: false
    readonly property alias statusColor: statusPanel.color
    readonly property bool warningShown: warning.visible

    // The compact JSON text of the profile, keys in the order "email", "name",
    // "organization"; the name is first name, ";;", surname.
    signal submit(string text)

    function activate(value) {
        settingsPanel.show()
        settingsPanel.raise()
        settingsPanel.requestActivate()
    }

    // A profile without a "name" (such as the empty object after a failed fetch) changes
    // nothing. Of the other members, those present are taken.
    function setConfig(value) {
        if (!value || value.name === undefined || value.name === null)
            return
        var pieces = String(value.name).split(";;")
        nameField.text = pieces[0]
        if (pieces.length > 1)
            surnameField.text = pieces[1]
        if (value.email !== undefined && value.email !== null)
            emailField.text = String(value.email)
        if (value.organization !== undefined && value.organization !== null)
            organizationField.text = String(value.organization)
        settingsPanel.isLoad = true
        if (emailField.text.indexOf("@") === -1)
            settingsPanel.activate(value)
    }

    function setStatus(status) {
        if (status === "ok")
            statusPanel.color = "green"
        else if (status === "wait")
            statusPanel.color = "orange"
        else if (status === "error")
            statusPanel.color = "red"
    }

    function setCurrentVersion(version) {
        settingsPanel.current_version = version
    }

    function profileText() {
        return JSON.stringify({
            "email": emailField.text,
            "name": nameField.text + ";;" + surnameField.text,
            "organization": organizationField.text
        })
    }

    title: qsTr("Settings")
    modality: Qt.ApplicationModal
    minimumWidth: 360
    minimumHeight: 290
    width: minimumWidth
    height: minimumHeight
    visible: false
    color: "#151A30"

    Component.onCompleted: {
        settingsPanel.x = Screen.width / 2 - 180
        settingsPanel.y = Screen.height / 2 - 145
    }

    Rectangle {
        anchors.fill: parent
        radius: 5
        color: "#151A30"

        ColumnLayout {
            anchors.fill: parent
            anchors.margins: 10
            spacing: 10

            RowLayout {
                Layout.fillWidth: true
                Layout.preferredHeight: 30
                spacing: 0

                StyleText {
                    id: warning
                    text: qsTr("Please add email!")
                    color: "#E37333"
                    font.bold: true
                    Layout.preferredHeight: 30
                    Layout.fillWidth: true
                    visible: settingsPanel.isLoad && emailField.text.indexOf("@") === -1
                }
                StyleText {
                    objectName: "versionLine"
                    text: "Vexar Anonymizer %1".arg(settingsPanel.current_version)
                    color: "White"
                    lineHeight: 1.5
                    horizontalAlignment: Text.AlignRight
                    Layout.leftMargin: 10
                    Layout.preferredHeight: 30
                    Layout.fillWidth: true
                }
                Rectangle {
                    id: statusPanel
                    objectName: "statusPanel"
                    Layout.preferredWidth: 10
                    Layout.preferredHeight: 10
                    radius: 5
                    color: "gray"
                }
            }

            StyleTextField {
                id: nameField
                objectName: "nameField"
                Layout.fillWidth: true
                Layout.preferredHeight: font.pixelSize * 2.5
                font.bold: true
                colorBackground: "#222B45"
                placeholderText: qsTr("Name")
                placeholderTextColor: "gray"
            }
            StyleTextField {
                id: surnameField
                objectName: "surnameField"
                Layout.fillWidth: true
                Layout.preferredHeight: font.pixelSize * 2.5
                font.bold: true
                colorBackground: "#222B45"
                placeholderText: qsTr("Surname")
                placeholderTextColor: "gray"
            }
            StyleTextField {
                id: emailField
                objectName: "emailField"
                Layout.fillWidth: true
                Layout.preferredHeight: font.pixelSize * 2.5
                font.bold: true
                colorBackground: "#222B45"
                placeholderText: qsTr("e-mail")
                placeholderTextColor: "gray"
            }
            StyleTextField {
                id: organizationField
                objectName: "organizationField"
                Layout.fillWidth: true
                Layout.preferredHeight: font.pixelSize * 2.5
                font.bold: true
                colorBackground: "#222B45"
                placeholderText: qsTr("Organization")
                placeholderTextColor: "gray"
            }
            StyleButton {
                id: submitButton
                objectName: "submitButton"
                text: qsTr("Submit")
                Layout.fillWidth: true
                Layout.preferredHeight: nameField.font.pixelSize * 2.5
                onClicked: {
                    settingsPanel.submit(settingsPanel.profileText())
                    sentTip.start()
                }

                StyleToolTip {
                    id: sentTip
                    objectName: "sentTip"
                    text: qsTr("send")
                }
            }
            Item {
                Layout.fillWidth: true
                Layout.fillHeight: true
            }
        }
    }
}
