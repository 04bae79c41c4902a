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
            width: 100
            height: 40
            text: "b"
            colorBackground: "#111111"
            colorDown: "#222222"
            colorHovered: "#333333"
        }
    }

    Component {
        id: tipHolderComponent
        Item {
            property alias tip: tip
            x: 100
            y: 100
            width: 80
            height: 30
            StyleToolTip {
                id: tip
                text: "send"
            }
        }
    }

    Component {
        id: fieldComponent
        StyleTextField {
            x: 100
            y: 100
            width: 120
            height: 35
        }
    }

    Component {
        id: iconComponent
        StyleIconButton {
            x: 100
            y: 100
            width: 40
            height: 40
            enterColor: "#1A2138"
            toolTipText: "Profile"
        }
    }

    TestCase {
        name: "StyledControls"
        when: windowShown

        function init() {
            mouseMove(root, 1, 1)
        }

        function test_buttonGroundPrecedence() {
            var button = createTemporaryObject(buttonComponent, root)
            verify(button)
            verify(Qt.colorEqual(button.background.color, "#111111"))
            mouseMove(button, 10, 10)
            tryVerify(function () { return button.hovered })
            verify(Qt.colorEqual(button.background.color, "#333333"))
            button.down = true
            verify(Qt.colorEqual(button.background.color, "#222222"))
            verify(Qt.colorEqual(button.contentItem.color, "white"))
            // Disabled wins over pressed and hovered, and the text greys.
            button.enabled = false
            verify(Qt.colorEqual(button.background.color, "#111111"))
            verify(Qt.colorEqual(button.contentItem.color, "gray"))
            button.down = undefined
            verify(Qt.colorEqual(button.background.color, "#111111"))
        }

        // A second start() while the tip shows does not extend it: two calls 600 ms apart hide
        // the tip 1000 ms after the first, not after the second.
        function test_toolTipTimerDoesNotRestart() {
            var holder = createTemporaryObject(tipHolderComponent, root)
            var tip = holder.tip
            compare(tip.interval, 1000)
            verify(!tip.shown)
            var begin = Date.now()
            tip.start()
            verify(tip.shown)
            wait(600)
            tip.start()
            verify(tip.shown)
            tryVerify(function () { return !tip.shown }, 2000)
            var shownFor = Date.now() - begin
            verify(shownFor < 1450, "shown for " + shownFor + " ms")
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
                modes.push({ "key": "m" + i, "source": "qrc:/img/" + (i % 2 ? "download" : "settings") + ".png#" + i })
            var button = createTemporaryObject(iconComponent, root, { "mode_list": modes, "unuse_indexes": data.unuse })
            verify(button)
            compare(String(button.source), modes[0].source)
            var clicks = createTemporaryObject(spyComponent, root, { "target": button, "signalName": "clickButton" })
            for (var s = 0; s < data.steps.length; ++s) {
                mouseClick(button)
                compare(button.mode_index, data.steps[s], "step " + s)
                compare(String(button.source), modes[data.steps[s]].source, "step " + s)
                compare(clicks.count, s + 1)
            }
        }

        // A long text stays on one line inside the field and scrolls to the cursor.
        function test_longTextStaysOnOneLine() {
            var field = createTemporaryObject(fieldComponent, root)
            var oneLine = field.contentHeight
            field.text = "Institut für medizinische Bildgebung und Strahlentherapie der Universität"
            field.cursorPosition = field.text.length
            compare(field.contentHeight, oneLine)
            verify(field.contentWidth > field.width)
            verify(field.positionToRectangle(field.cursorPosition).x <= field.width)
        }

        function test_iconHover() {
            var button = createTemporaryObject(iconComponent, root, { "mode_list": [{ "key": "none", "source": "qrc:/img/settings.png" }] })
            verify(Qt.colorEqual(button.color, "transparent"))
            mouseMove(button, 20, 20)
            verify(Qt.colorEqual(button.color, "#1A2138"))
            wait(500)
            // Leaving before the second is up shows no tip.
            mouseMove(root, 1, 1)
            verify(Qt.colorEqual(button.color, "transparent"))
            wait(700)
            verify(!button.toolTipShown)
            mouseMove(button, 20, 20)
            tryVerify(function () { return button.toolTipShown }, 2000)
            mouseMove(root, 1, 1)
            verify(!button.toolTipShown)
        }
    }

    Component {
        id: spyComponent
        SignalSpy { }
    }
}
