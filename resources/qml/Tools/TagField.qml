import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// A tag's replacement text. A typed field reports every change of its text (changeText); a
// date field is read-only and asks for the date picker on a click (pickDate), which its owner
// opens.
TextField {
    id: tagField

    property string tagName: ""

    // The entry's text for the tag `name` is now `value`.
    signal changeText(string name, string value)
    // A click on a date field: `shown` is what the field shows, its text or else the
    // placeholder (the date written while it is empty), so the picker opens on that day.
    signal pickDate(string name, string shown)

    Layout.preferredHeight: 25
    font.family: Theme.fontFamily
    font.pixelSize: Theme.fontSize
    color: Theme.text
    opacity: 1
    horizontalAlignment: TextInput.AlignLeft
    verticalAlignment: TextInput.AlignVCenter
    placeholderTextColor: Theme.tagFieldLine
    selectByMouse: true
    leftPadding: 6
    topPadding: 0
    bottomPadding: 0
    hoverEnabled: true

    ToolTip.visible: tagField.hovered && tagField.tagName !== ""
    ToolTip.text: tagField.tagName

    background: Rectangle {
        radius: Theme.radius
        color: Theme.tagField
        border.width: 1
        border.color: Theme.tagFieldLine
    }

    onTextChanged: {
        if (!tagField.readOnly && tagField.tagName !== "")
            tagField.changeText(tagField.tagName, tagField.text)
    }

    // Empties the field and the entry's text with it: a date field sends no change of its
    // own, and the copies must get what the field shows.
    function reset() {
        var wasEmpty = tagField.text === ""
        tagField.text = ""
        if ((tagField.readOnly || wasEmpty) && tagField.tagName !== "")
            tagField.changeText(tagField.tagName, "")
    }

    MouseArea {
        anchors.fill: parent
        visible: tagField.readOnly
        onClicked: tagField.pickDate(tagField.tagName,
                                     tagField.text !== "" ? tagField.text : tagField.placeholderText)
    }
}
