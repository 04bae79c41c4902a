import QtQuick
import QtTest
import "qrc:/qml/Tools/"

Item {
    id: root
    width: 400
    height: 400

    Component {
        id: panelComponent
        UpdatePanel { }
    }

    TestCase {
        name: "UpdatePanel"
        when: windowShown

        function init() {
            TestSupport.clearWindowSettings()
        }

        // Versions compare by number (major * 10000 + minor * 100 + patch), a version without
        // three numbers never counts. versions: the running, the latest and the oldest supported;
        // shows: nothing (""), the optional notice ("new") or the forced one ("forced").
        function test_activate_data() {
            return [
                { tag: "latest equals running", versions: ["1.0.1", "1.0.1", "1.0.0"], skip: [], shows: "" },
                { tag: "latest older than running", versions: ["1.2.0", "1.1.9", "1.0.0"], skip: [], shows: "" },
                { tag: "newer version offered", versions: ["1.0.1", "1.2.0", "1.0.0"], skip: [], shows: "new" },
                { tag: "newer version skipped", versions: ["1.0.1", "1.2.0", "1.0.0"], skip: ["1.1.0", "1.2.0"], shows: "" },
                { tag: "skip list compares exact text", versions: ["1.0.1", "1.2.1", "1.0.0"], skip: ["1.2.0", "1.2.10"], shows: "new" },
                { tag: "forced ignores the skip list", versions: ["1.0.1", "1.2.0", "1.1.0"], skip: ["1.2.0"], shows: "forced" },
                { tag: "supported equals running", versions: ["1.0.1", "1.0.1", "1.0.1"], skip: [], shows: "" },
                { tag: "numbers not text: 1.10.0 after 1.9.0", versions: ["1.9.0", "1.10.0", "1.0.0"], skip: [], shows: "new" },
                { tag: "1.100.0 ranks equal to 2.0.0", versions: ["2.0.0", "1.100.0", "1.100.0"], skip: [], shows: "" },
                { tag: "two-part latest never newer", versions: ["1.0.1", "2.0", "1.0.0"], skip: [], shows: "" },
                { tag: "two-part supported never forces", versions: ["1.0.1", "1.0.1", "2.0"], skip: [], shows: "" },
                { tag: "a part read by its leading digits", versions: ["1.2.3", "1.2.4rc1", "1.0.0"], skip: [], shows: "new" },
                { tag: "a fourth part ignored", versions: ["1.2.3", "1.2.3.4", "1.0.0"], skip: [], shows: "" },
                { tag: "a part without digits never newer", versions: ["1.0.1", "1.x.0", "1.0.0"], skip: [], shows: "" },
                { tag: "an empty version never forces", versions: ["", "1.0.1", "1.0.0"], skip: [], shows: "" }
            ]
        }

        function test_activate(data) {
            var panel = createTemporaryObject(panelComponent, root)
            panel.versionSkipList = data.skip
            var v = data.versions
            var forced = data.shows === "forced"
            compare(panel.activate(v[0], v[1], v[2]), forced)
            compare(panel.visible, data.shows !== "")
            compare(findChild(panel.contentItem, "versionLine").text, "Vexar Anonymizer " + v[0])
            if (data.shows !== "") {
                compare(findChild(panel.contentItem, "messageField").text, forced
                        ? "Your version (%1) is no supported.\nPlease download the new version.".arg(v[0])
                        : "New version (%1) is now avalaible.".arg(v[1]))
                compare(findChild(panel.contentItem, "skipButton").visible, !forced)
                compare(findChild(panel.contentItem, "quitButton").visible, forced)
            }
            if (data.shows === "new") {
                // Closing stores nothing: the notice comes back.
                panel.close()
                compare(panel.versionSkipList, data.skip)
                panel.activate(v[0], v[1], v[2])
                verify(panel.visible)
            }
            // Hidden without closing, which would end the program for a forced notice.
            panel.visible = false
        }

        // The skip list as the store may hand it back (one version as a plain text, or nothing),
        // and a skip stored and read back at the next start: a skipped version matches whole
        // only ("1.2.1" is not in "1.2.10").
        function test_skipList_data() {
            return [
                { tag: "nothing stored", stored: undefined, list: [] },
                { tag: "empty text", stored: "", list: [] },
                { tag: "one version as plain text", stored: "1.2.10", list: ["1.2.10"] }
            ]
        }

        function test_skipList(data) {
            if (data.stored !== undefined)
                TestSupport.setWindowSetting("general/versionSkipList", data.stored)
            var panel = createTemporaryObject(panelComponent, root)
            compare(panel.versionSkipList, data.list)
            panel.activate("1.0.1", "1.2.1", "1.0.0")
            var skip = findChild(panel.contentItem, "skipButton")
            tryVerify(function () { return skip.width > 0 })
            mousePress(skip)
            tryVerify(function () { return !panel.visible })
            mouseRelease(skip)
            var skipped = data.list.concat(["1.2.1"])
            compare(panel.versionSkipList, skipped)
            panel.destroy()
            // On disk as texts in the group "general", not as an opaque script value.
            tryVerify(function () {
                var text = TestSupport.windowSettingsFileText()
                return /\[%?general\]/i.test(text) && text.indexOf("skipCount=1") !== -1 && text.indexOf("QJSValue") === -1
            })
            var next = createTemporaryObject(panelComponent, root)
            compare(next.versionSkipList, skipped)
            compare(next.skipCount, 1)
            next.activate("1.0.1", "1.2.1", "1.0.0")
            verify(!next.visible)
        }
    }
}
