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
    // Each field and the button: 2.5 times the font's height.
    readonly property real rowHeight: Theme.fontSize * 2.5

    // The compact JSON text of the profile, keys in the order "email", "name",
    // "organization"; the name is first name, ";;", surname.
    signal submit(string text)

    function activate(value) {
        settingsPanel.show()
        settingsPanel.raise()
        settingsPanel.requestActivate()
        ground.forceActiveFocus()
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
            statusPanel.color = Theme.connected
        else if (status === "wait")
            statusPanel.color = Theme.connecting
        else if (status === "error")
            statusPanel.color = Theme.connectionFailed
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
    // Six rows, with the two margins and the spacings between the rows.
    minimumWidth: 360
    minimumHeight: 6 * settingsPanel.rowHeight + 8 * Theme.margin
    width: minimumWidth
    height: minimumHeight
    visible: false
    color: Theme.ground

    // Where no window manager adds a close button (kiosks, remote displays), these are the only
    // ways out of a modal window.
    Shortcut {
        sequences: [StandardKey.Cancel]
        onActivated: settingsPanel.close()
    }

    // Centred on the screen by its minimum size.
    Component.onCompleted: {
        settingsPanel.x = Screen.width / 2 - settingsPanel.minimumWidth / 2
        settingsPanel.y = Screen.height / 2 - settingsPanel.minimumHeight / 2
    }

    component ProfileField: StyleTextField {
        Layout.fillWidth: true
        Layout.preferredHeight: settingsPanel.rowHeight
        font.bold: true
        colorBackground: Theme.fieldGround
        placeholderTextColor: Theme.neutral
    }

    Rectangle {
        id: ground
        anchors.fill: parent
        radius: Theme.windowRadius
        color: Theme.ground
        // Escape from whichever part holds the focus, fields included, reaches this.
        focus: true
        Keys.onEscapePressed: settingsPanel.close()

        ColumnLayout {
            anchors.fill: parent
            anchors.margins: Theme.margin
            spacing: Theme.margin

            // As high as its texts.
            RowLayout {
                Layout.fillWidth: true
                spacing: 0

                StyleText {
                    id: warning
                    text: qsTr("Please add email!")
                    color: Theme.highlight
                    font.bold: true
                    Layout.preferredHeight: 30
                    Layout.fillWidth: true
                    visible: settingsPanel.isLoad && emailField.text.indexOf("@") === -1
                }
                StyleText {
                    objectName: "versionLine"
                    text: "Vexar Anonymizer %1".arg(settingsPanel.current_version)
                    color: Theme.text
                    lineHeight: Theme.lineHeight
                    horizontalAlignment: Text.AlignRight
                    Layout.leftMargin: Theme.margin
                    Layout.preferredHeight: 30
                    Layout.fillWidth: true
                }
                Rectangle {
                    id: statusPanel
                    objectName: "statusPanel"
                    Layout.preferredWidth: 10
                    Layout.preferredHeight: 10
                    radius: width / 2
                    color: Theme.neutral

                    HoverTip {
                        objectName: "statusTip"
                        text: qsTr("The connection to the service: green connected, orange "
                                   + "connecting, red failed.")
                    }
                }
                StyleButton {
                    objectName: "closeButton"
                    text: "×"
                    Layout.leftMargin: Theme.margin
                    Layout.preferredWidth: 30
                    Layout.preferredHeight: 30
                    onClicked: settingsPanel.close()

                    HoverTip {
                        text: qsTr("Closes this window (Escape).")
                    }
                }
            }

            ProfileField {
                id: nameField
                objectName: "nameField"
                placeholderText: qsTr("Name")
            }
            ProfileField {
                id: surnameField
                objectName: "surnameField"
                placeholderText: qsTr("Surname")
            }
            ProfileField {
                id: emailField
                objectName: "emailField"
                placeholderText: qsTr("e-mail")
            }
            ProfileField {
                id: organizationField
                objectName: "organizationField"
                placeholderText: qsTr("Organization")
            }
            StyleButton {
                id: submitButton
                objectName: "submitButton"
                text: qsTr("Submit")
                Layout.fillWidth: true
                Layout.preferredHeight: settingsPanel.rowHeight
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
