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

    Component {
        id: spyComponent
        SignalSpy { }
    }

    TestCase {
        name: "SettingsPanel"
        when: windowShown

        property var panel: null

        function init() {
            panel = createTemporaryObject(panelComponent, root)
        }

        function field(name) {
            return findChild(panel.contentItem, name)
        }

        function test_setConfig_data() {
            return [
                { tag: "name and surname", name: "John;;Smith", first: "John", surname: "Smith" },
                { tag: "three pieces lose the third", name: "x;;y;;z", first: "x", surname: "y" },
                { tag: "no separator keeps the surname", name: "Solo", first: "Solo", surname: "Kept" },
                { tag: "empty surname piece", name: "Ann;;", first: "Ann", surname: "" },
                { tag: "separator only", name: ";;", first: "", surname: "" }
            ]
        }

        function test_setConfig(data) {
            field("surnameField").text = "Kept"
            panel.setConfig({ "name": data.name, "email": "a@b.org", "organization": "Org" })
            compare(field("nameField").text, data.first)
            compare(field("surnameField").text, data.surname)
            compare(field("emailField").text, "a@b.org")
            compare(field("organizationField").text, "Org")
            compare(panel.isLoad, true)
            compare(panel.visible, false)
        }

        function test_profileWithoutNameChangesNothing() {
            field("emailField").text = "x"
            panel.setConfig({})
            panel.setConfig({ "email": "y", "organization": "z" })
            compare(field("emailField").text, "x")
            compare(field("organizationField").text, "")
            compare(panel.isLoad, false)
            compare(panel.visible, false)
            compare(panel.warningShown, false)
        }

        // The warning follows the e-mail field once a profile has arrived.
        function test_emailWarning() {
            field("emailField").text = "no-at"
            compare(panel.warningShown, false)
            panel.setConfig({ "name": "A;;B", "email": "nobody", "organization": "" })
            tryVerify(function () { return panel.visible })
            compare(panel.warningShown, true)
            field("emailField").text = "nobody@"
            compare(panel.warningShown, false)
            field("emailField").text = "nobody"
            compare(panel.warningShown, true)
            panel.visible = false
        }

        function test_submitText_data() {
            return [
                { tag: "filled", first: "A", surname: "B", email: "a@b.org", org: "Org",
                  text: '{"email":"a@b.org","name":"A;;B","organization":"Org"}' },
                { tag: "empty", first: "", surname: "", email: "", org: "",
                  text: '{"email":"","name":";;","organization":""}' },
                { tag: "separator in the first name", first: "x;;y", surname: "z", email: "", org: "",
                  text: '{"email":"","name":"x;;y;;z","organization":""}' },
                { tag: "quotes escaped", first: "O\"Neil", surname: "", email: "", org: "A & B",
                  text: '{"email":"","name":"O\\"Neil;;","organization":"A & B"}' }
            ]
        }

        function test_submitText(data) {
            var submits = createTemporaryObject(spyComponent, root, { "target": panel, "signalName": "submit" })
            panel.activate(true)
            tryVerify(function () { return panel.visible })
            field("nameField").text = data.first
            field("surnameField").text = data.surname
            field("emailField").text = data.email
            field("organizationField").text = data.org
            var button = field("submitButton")
            tryVerify(function () { return button.width > 0 })
            mouseClick(button)
            compare(submits.count, 1)
            compare(submits.signalArguments[0][0], data.text)
            verify(field("sentTip").shown)
            verify(panel.visible)
            panel.visible = false
        }

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
