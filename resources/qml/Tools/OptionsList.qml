import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Templates as T

// The standard clean-up's options, one switch each, by the standard's own names. The core
// keeps the chosen set; every change sends it whole (changed), and the core's answer sets
// `chosen` again. The two kinds of dates exclude each other: turning one on turns the other off.
Popup {
    id: optionsList

    // Names of the options that are on, as the core spells them.
    property var chosen: []

    signal changed(var names)

    readonly property var options: [
        { name: "modified-dates", title: qsTr("Dates moved back per patient (intervals and ages kept)") },
        { name: "retain-full-dates", title: qsTr("Dates kept as they are") },
        { name: "retain-patient-characteristics", title: qsTr("Patient characteristics kept (sex, age, size, weight…)") },
        { name: "retain-device-identity", title: qsTr("Device identity kept (serial numbers, station names)") },
        { name: "retain-institution-identity", title: qsTr("Institution identity kept") },
        { name: "retain-uids", title: qsTr("UIDs kept") },
        { name: "retain-safe-private", title: qsTr("Safe private tags kept (known numeric values)") },
        { name: "clean-descriptors", title: qsTr("Descriptions cleaned, not removed") },
        { name: "clean-structured-content", title: qsTr("Structured report content cleaned") },
        { name: "clean-graphics", title: qsTr("Annotation texts cleaned") }
    ]

    function isOn(name) {
        return optionsList.chosen.indexOf(name) >= 0
    }

    function toggle(name, on) {
        var names = optionsList.chosen.filter(n => n !== name)
        if (on) {
            names.push(name)
            if (name === "modified-dates")
                names = names.filter(n => n !== "retain-full-dates")
            else if (name === "retain-full-dates")
                names = names.filter(n => n !== "modified-dates")
        }
        optionsList.chosen = names
        optionsList.changed(names)
    }

    modal: true
    focus: true
    anchors.centerIn: T.Overlay.overlay
    padding: Theme.margin
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside

    background: Rectangle {
        color: Theme.ground
        border.color: Theme.fieldGround
        radius: Theme.windowRadius
    }

    contentItem: ColumnLayout {
        spacing: Theme.spacing

        Text {
            text: qsTr("Options of the standard clean-up")
            color: Theme.text
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontSize + 2
            font.bold: true
        }
        Repeater {
            model: optionsList.options

            RowLayout {
                id: optionRow

                required property var modelData

                spacing: Theme.spacing

                StyleSwitch {
                    objectName: "option:" + optionRow.modelData.name
                    Layout.preferredHeight: 28
                    checked: optionsList.isOn(optionRow.modelData.name)
                    tip: optionRow.modelData.name
                    onClicked: optionsList.toggle(optionRow.modelData.name, checked)
                }
                Text {
                    Layout.fillWidth: true
                    text: optionRow.modelData.title
                    color: Theme.text
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontSize
                }
            }
        }
        StyleButton {
            objectName: "optionsClose"
            Layout.alignment: Qt.AlignRight
            text: qsTr("Close")
            onClicked: optionsList.close()
        }
    }
}
