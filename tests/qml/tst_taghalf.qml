import QtQuick
import QtTest
import "qrc:/qml/Tools/"

// One half of a tag row on its own, without the main window: what the user does reaches its
// owner only through its signals, in the order the owner must send it on.
Item {
    id: root
    width: 400
    height: 400

    // A row's roles, as the tag list's delegate holds them, with one half showing side 1.
    Component {
        id: rowComponent
        Item {
            id: row

            property string name_1: ""
            property string text_1: ""
            property string mode_1: ""
            property bool isChecked_1: true
            property string replace_1: ""
            readonly property alias half: half

            width: 350
            height: 50

            TagHalf {
                id: half
                rowItem: row
                side: 1
                fieldWidth: 180
                height: 50
            }
        }
    }

    TestCase {
        name: "TagHalf"
        when: windowShown

        property var half: null
        property var heard: []

        function init() {
            failOnWarning(/.?/)
            heard = []
        }

        function make(roles) {
            var row = createTemporaryObject(rowComponent, root, roles)
            half = row.half
            half.changeSwitch.connect((name, on) => heard.push("switch " + name + " " + on))
            half.changeText.connect((name, value) => heard.push("text " + name + " '" + value + "'"))
            half.pickDate.connect((name, shown) => heard.push("pick " + name + " " + shown))
            half.keepDate.connect(value => heard.push("keep " + value))
            return row
        }

        function field() {
            return findChild(half, "field_1")
        }

        // Each step: "type:KEYS", "switch" (a click on it), "click" (on the field) or
        // "date:TAG:VALUE" (a date chosen in the picker for TAG). `shows` is the field's text
        // at the end.
        function test_reports_data() {
            var typed = { "name_1": "PatientsID", "mode_1": "string", "replace_1": "----" }
            var date = { "name_1": "BirthDate", "mode_1": "date", "replace_1": "1970-01-01" }
            return [
                { tag: "typed text, each change", roles: typed, steps: ["type:ab"], shows: "ab",
                  heard: ["text PatientsID 'a'", "text PatientsID 'ab'"] },
                { tag: "typed field switched off", roles: typed, steps: ["type:a", "switch"], shows: "",
                  heard: ["text PatientsID 'a'", "switch PatientsID false", "text PatientsID ''"] },
                { tag: "empty typed field switched off still empties the entry", roles: typed,
                  steps: ["switch"], shows: "", heard: ["switch PatientsID false", "text PatientsID ''"] },
                { tag: "switched on again sends no text", roles: typed, steps: ["switch", "switch"], shows: "",
                  heard: ["switch PatientsID false", "text PatientsID ''", "switch PatientsID true"] },
                { tag: "date field asks for the picker on what it writes", roles: date, steps: ["click"],
                  shows: "", heard: ["pick BirthDate 1970-01-01"] },
                { tag: "date chosen, kept, shown, and the picker opens on it", roles: date,
                  steps: ["date:BirthDate:2021-03-05", "click"], shows: "2021-03-05",
                  heard: ["keep 2021-03-05", "pick BirthDate 2021-03-05"] },
                { tag: "another tag's date", roles: date, steps: ["date:StudyDate:2021-03-05"], shows: "",
                  heard: [] },
                { tag: "date field switched off empties the entry and opens nothing", roles: date,
                  steps: ["date:BirthDate:2021-03-05", "switch", "click"], shows: "",
                  heard: ["keep 2021-03-05", "switch BirthDate false", "text BirthDate ''"] },
                { tag: "hidden half takes no date", roles: { "name_1": "" }, steps: ["date::2021-03-05"],
                  shows: "", heard: [] }
            ]
        }

        function test_reports(data) {
            make(data.roles)
            for (const step of data.steps) {
                var parts = step.split(":")
                if (parts[0] === "type") {
                    field().forceActiveFocus()
                    tryVerify(function () { return field().activeFocus })
                    for (const key of parts[1])
                        keyClick(key)
                } else if (parts[0] === "switch") {
                    mouseClick(findChild(half, "switch_1"))
                } else if (parts[0] === "click") {
                    mouseClick(field())
                } else {
                    half.showDate(parts[1], parts[2])
                }
            }
            compare(heard, data.heard)
            compare(field().text, data.shows)
            compare(half.visible, data.roles.name_1 !== "")
        }
    }
}
