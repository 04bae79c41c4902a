import QtQuick
import QtTest
import "qrc:/qml/Tools/"

Item {
    id: root
    width: 400
    height: 400

    Component {
        id: panelComponent
        SettingsPanel { }
    }

    SignalSpy {
        id: submits
        signalName: "submit"
    }

    TestCase {
        name: "SettingsPanel"
        when: windowShown

        property var panel: null

        function init() {
            panel = createTemporaryObject(panelComponent, root)
            submits.clear()
            submits.target = panel
        }

        function field(name) {
            return findChild(panel.contentItem, name)
        }

        // The four fields' texts: name, surname, e-mail, organisation.
        function fields(texts) {
            var names = ["nameField", "surnameField", "emailField", "organizationField"]
            for (var i = 0; texts && i < names.length; ++i)
                field(names[i]).text = texts[i]
            return names.map(function (name) { return field(name).text })
        }

        // The fields start as "", "Kept", "x", "". A profile without a name changes nothing; one
        // whose e-mail lacks "@" opens the panel with the warning, which from then on follows
        // the e-mail field.
        function test_setConfig_data() {
            var profile = function (name, email) { return { "name": name, "email": email || "a@b.org", "organization": "Org" } }
            return [
                { tag: "name and surname", value: profile("John;;Smith"), fields: ["John", "Smith", "a@b.org", "Org"] },
                { tag: "three pieces lose the third", value: profile("x;;y;;z"), fields: ["x", "y", "a@b.org", "Org"] },
                { tag: "no separator keeps the surname", value: profile("Solo"), fields: ["Solo", "Kept", "a@b.org", "Org"] },
                { tag: "empty surname piece", value: profile("Ann;;"), fields: ["Ann", "", "a@b.org", "Org"] },
                { tag: "separator only", value: profile(";;"), fields: ["", "", "a@b.org", "Org"] },
                { tag: "e-mail without @", value: profile("A;;B", "nobody"), fields: ["A", "B", "nobody", "Org"], warns: true },
                { tag: "empty object", value: {}, fields: ["", "Kept", "x", ""] },
                { tag: "no name", value: { "email": "y", "organization": "z" }, fields: ["", "Kept", "x", ""] }
            ]
        }

        function test_setConfig(data) {
            fields(["", "Kept", "x", ""])
            panel.setConfig(data.value)
            compare(fields(), data.fields)
            compare(panel.isLoad, data.value.name !== undefined)
            compare(panel.visible, data.warns === true)
            compare(panel.warningShown, data.warns === true)
            field("emailField").text = "a@"
            compare(panel.warningShown, false)
            field("emailField").text = "a"
            compare(panel.warningShown, panel.isLoad)
            panel.visible = false
        }

        function test_submitText_data() {
            return [
                { tag: "filled", fields: ["A", "B", "a@b.org", "Org"], text: '{"email":"a@b.org","name":"A;;B","organization":"Org"}' },
                { tag: "empty", fields: ["", "", "", ""], text: '{"email":"","name":";;","organization":""}' },
                { tag: "separator in the first name", fields: ["x;;y", "z", "", ""], text: '{"email":"","name":"x;;y;;z","organization":""}' },
                { tag: "quotes escaped", fields: ["O\"Neil", "", "", "A & B"], text: '{"email":"","name":"O\\"Neil;;","organization":"A & B"}' }
            ]
        }

        // Sent as it stands, with a tip; the panel stays open.
        function test_submitText(data) {
            panel.activate(true)
            tryVerify(function () { return panel.visible })
            fields(data.fields)
            var button = field("submitButton")
            tryVerify(function () { return button.width > 0 })
            mouseClick(button)
            compare(submits.count, 1)
            compare(submits.signalArguments[0][0], data.text)
            verify(field("sentTip").shown)
            verify(panel.visible)
            panel.visible = false
        }

        // A modal window with no close button of the window manager (kiosks, remote displays)
        // must still close, by its own close control. (Escape closes it too; the offscreen
        // platform gives a second window no focused item to deliver a key to.)
        function test_closes() {
            panel.activate(true)
            tryVerify(function () { return panel.visible })
            var button = field("closeButton")
            tryVerify(function () { return button.width > 0 })
            mouseClick(button)
            tryVerify(function () { return !panel.visible })
        }

        function test_statusTip() {
            var tip = field("statusTip")
            compare(tip.text, "The connection to the service: green connected, orange connecting, red failed.")
        }

        // The light changes only for the three known states.
        function test_setStatus_data() {
            return [
                { tag: "ok", status: "ok", color: "green" },
                { tag: "wait", status: "wait", color: "orange" },
                { tag: "error", status: "error", color: "red" }
            ]
        }

        function test_setStatus(data) {
            panel.setStatus(data.status)
            verify(Qt.colorEqual(panel.statusColor, data.color))
            panel.setStatus("unknown")
            verify(Qt.colorEqual(panel.statusColor, data.color))
        }
    }
}
