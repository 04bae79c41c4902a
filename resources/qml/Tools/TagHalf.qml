import QtQuick
import QtQuick.Layouts

// One tag of a tag row: its switch and its field, showing the roles of one side of the row
// (1 the left, 2 the right: name_1, text_1, ...; its parts are named "switch_1", "field_1",
// ...). A side without a name (the right of an odd last row) is hidden. It reports what the
// user does through its signals; its owner sends that on and keeps the row's roles.
RowLayout {
    id: half

    property Item rowItem: null
    property int side: 1
    property int fieldWidth: 0
    readonly property string name: half.rowItem["name_" + half.side]

    // The switch was clicked: the tag is now on or off. Switching off then empties the field
    // (changeText with an empty text follows).
    signal changeSwitch(string name, bool on)
    // The entry's text for the tag is now `value`.
    signal changeText(string name, string value)
    // The date field was clicked; `shown` is what it shows: its date, else the placeholder.
    signal pickDate(string name, string shown)
    // A date chosen for this tag, before the field shows it: the owner keeps it in the row's
    // text role.
    signal keepDate(string value)

    // A date chosen in the picker for the tag `key`, in display form: taken where the tag is
    // this half's own.
    function showDate(key, value) {
        if (key !== half.name || half.name === "")
            return
        half.keepDate(value)
        field.text = value
    }

    visible: half.name !== ""
    spacing: Theme.spacing
    Layout.fillWidth: false
    Layout.fillHeight: true

    StyleSwitch {
        id: toggle
        objectName: "switch_" + half.side
        tip: qsTr("On: every copy gets the text in the field for %1; off: its value is copied as it is.").arg(half.name)
        checked: half.rowItem["isChecked_" + half.side]
        onClicked: {
            half.changeSwitch(half.name, toggle.checked)
            field.enabled = toggle.checked
            if (!toggle.checked)
                field.reset()
        }
    }
    TagField {
        id: field
        objectName: "field_" + half.side
        tagName: half.name
        Layout.preferredWidth: half.fieldWidth
        readOnly: half.rowItem["mode_" + half.side] === "date"
        text: half.rowItem["text_" + half.side]
        // What is written while the field is empty.
        placeholderText: toggle.checked ? half.rowItem["replace_" + half.side] : qsTr("kept as it is")
        onChangeText: (name, value) => half.changeText(name, value)
        onPickDate: (name, shown) => half.pickDate(name, shown)
    }
}
