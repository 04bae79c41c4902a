import QtQuick
import QtTest
import "qrc:/qml/Tools/"

Item {
    id: root
    width: 400
    height: 400

    Component {
        id: buttonComponent
        StyleButton {
            x: 100
            y: 100
            text: "b"
            colorBackground: "#111111"
            colorDown: "#222222"
            colorHovered: "#333333"
        }
    }

    Component {
        id: iconComponent
        StyleIconButton {
            x: 100
            y: 100
            width: 40
            height: 40
            toolTipText: "Profile"
        }
    }

    SignalSpy {
        id: clicks
        signalName: "clickButton"
    }

    TestCase {
        name: "StyledControls"
        when: windowShown

        function init() {
            mouseMove(root, 1, 1)
        }

        // Calls f once ms have passed and tells when it has. Timers fire in the order in which
        // their intervals end, however loaded the machine: they order events, not measure them.
        function after(ms, f) {
            var timer = createTemporaryQmlObject("import QtQuick; Timer { interval: %1 }".arg(ms), root)
            var done = { "fired": false }
            timer.triggered.connect(function () { f(); done.fired = true })
            timer.start()
            return done
        }

        // The ground: disabled first, then pressed, then hovered; a disabled text greys.
        function test_buttonGroundPrecedence() {
            var button = createTemporaryObject(buttonComponent, root)
            verify(Qt.colorEqual(button.background.color, "#111111"))
            mouseMove(button, 10, 10)
            tryVerify(function () { return button.hovered })
            verify(Qt.colorEqual(button.background.color, "#333333"))
            button.down = true
            verify(Qt.colorEqual(button.background.color, "#222222"))
            verify(Qt.colorEqual(button.contentItem.color, "white"))
            button.enabled = false
            verify(Qt.colorEqual(button.background.color, "#111111"))
            verify(Qt.colorEqual(button.contentItem.color, "gray"))
        }

        // A second start() while the tip shows does not extend it: the tip hides one interval
        // after the first call, not after the second.
        function test_toolTipTimerDoesNotRestart() {
            var tip = createTemporaryObject(Qt.createComponent("qrc:/qml/Tools/StyleToolTip.qml"), root, { "interval": 300 })
            var shown = {}
            tip.start()
            after(180, function () { tip.start(); shown.afterSecond = tip.shown })
            var look = after(400, function () { shown.atLook = tip.shown })
            tryVerify(function () { return look.fired })
            compare(shown.afterSecond, true)
            compare(shown.atLook, false)
            tip.start()
            verify(tip.shown)
        }

        function test_iconModeCycling_data() {
            return [
                { tag: "three modes, none skipped", modes: 3, unuse: [], steps: [1, 2, 0] },
                { tag: "skips a listed middle mode", modes: 3, unuse: [1], steps: [2, 0, 2] },
                { tag: "wraps onto a listed first mode", modes: 3, unuse: [0], steps: [1, 2, 0] },
                { tag: "all but the first listed", modes: 3, unuse: [1, 2], steps: [0, 0, 0] },
                { tag: "a single mode stays", modes: 1, unuse: [], steps: [0, 0, 0] }
            ]
        }

        function test_iconModeCycling(data) {
            var modes = []
            for (var i = 0; i < data.modes; ++i)
                modes.push({ "key": "m" + i, "source": "qrc:/img/settings.png#" + i })
            var button = createTemporaryObject(iconComponent, root, { "mode_list": modes, "unuse_indexes": data.unuse })
            compare(String(button.source), modes[0].source)
            clicks.clear()
            clicks.target = button
            for (var s = 0; s < data.steps.length; ++s) {
                mouseClick(button)
                compare(button.mode_index, data.steps[s], "step " + s)
                compare(String(button.source), modes[data.steps[s]].source, "step " + s)
                compare(clicks.count, s + 1)
            }
        }

        // The hover ground follows the pointer; the tip shows only after the pointer has
        // rested for the delay, so leaving before then shows none.
        function test_iconHover() {
            var button = createTemporaryObject(iconComponent, root, { "toolTipDelay": 200 })
            verify(Qt.colorEqual(button.color, "transparent"))
            mouseMove(button, 20, 20)
            verify(Qt.colorEqual(button.color, button.enterColor))
            mouseMove(root, 1, 1)
            verify(Qt.colorEqual(button.color, "transparent"))
            var look = after(300, function () { })
            tryVerify(function () { return look.fired })
            verify(!button.toolTipShown)
            mouseMove(button, 20, 20)
            tryVerify(function () { return button.toolTipShown })
            mouseMove(root, 1, 1)
            verify(!button.toolTipShown)
        }

        // A long text stays on one line inside the field and scrolls to the cursor.
        function test_longTextStaysOnOneLine() {
            var field = createTemporaryObject(Qt.createComponent("qrc:/qml/Tools/StyleTextField.qml"), root,
                                              { "x": 100, "y": 100, "width": 120, "height": 35 })
            var oneLine = field.contentHeight
            field.text = "Institut für medizinische Bildgebung und Strahlentherapie der Universität"
            field.cursorPosition = field.text.length
            compare(field.contentHeight, oneLine)
            verify(field.contentWidth > field.width)
            verify(field.positionToRectangle(field.cursorPosition).x <= field.width)
        }
    }
}
