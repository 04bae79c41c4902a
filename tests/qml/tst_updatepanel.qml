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

        function test_versionToInt_data() {
            return [
                { tag: "1.0.1", version: "1.0.1", rank: 10001 },
                { tag: "1.10.0", version: "1.10.0", rank: 11000 },
                { tag: "1.100.0 spills into the major", version: "1.100.0", rank: 20000 },
                { tag: "trailing text after digits", version: "1.2.3rc1", rank: 10203 },
                { tag: "fourth part ignored", version: "1.2.3.4", rank: 10203 },
                { tag: "two parts", version: "2.0", rank: NaN },
                { tag: "part without digits", version: "1.x.0", rank: NaN },
                { tag: "empty", version: "", rank: NaN }
            ]
        }

        function test_versionToInt(data) {
            var panel = createTemporaryObject(panelComponent, root)
            var rank = panel.versionToInt(data.version)
            if (isNaN(data.rank))
                verify(isNaN(rank), "rank " + rank)
            else
                compare(rank, data.rank)
        }

        function test_activate_data() {
            var optional = "New version (%1) is now avalaible."
            var forced = "Your version (%1) is no supported.\nPlease download the new version."
            return [
                { tag: "latest equals running", local: "1.0.1", last: "1.0.1", supported: "1.0.0", skip: [], shown: false, forced: false },
                { tag: "latest older than running", local: "1.2.0", last: "1.1.9", supported: "1.0.0", skip: [], shown: false, forced: false },
                { tag: "newer version offered", local: "1.0.1", last: "1.2.0", supported: "1.0.0", skip: [], shown: true, forced: false, message: optional.arg("1.2.0") },
                { tag: "newer version skipped", local: "1.0.1", last: "1.2.0", supported: "1.0.0", skip: ["1.1.0", "1.2.0"], shown: false, forced: false },
                { tag: "skip list compares exact text", local: "1.0.1", last: "1.2.1", supported: "1.0.0", skip: ["1.2.0", "1.2.10"], shown: true, forced: false, message: optional.arg("1.2.1") },
                { tag: "forced ignores the skip list", local: "1.0.1", last: "1.2.0", supported: "1.1.0", skip: ["1.2.0"], shown: true, forced: true, message: forced.arg("1.0.1") },
                { tag: "supported equals running", local: "1.0.1", last: "1.0.1", supported: "1.0.1", skip: [], shown: false, forced: false },
                { tag: "numbers not text: 1.10.0 after 1.9.0", local: "1.9.0", last: "1.10.0", supported: "1.0.0", skip: [], shown: true, forced: false, message: optional.arg("1.10.0") },
                { tag: "1.100.0 ranks equal to 2.0.0", local: "2.0.0", last: "1.100.0", supported: "1.100.0", skip: [], shown: false, forced: false },
                { tag: "two-part latest never newer", local: "1.0.1", last: "2.0", supported: "1.0.0", skip: [], shown: false, forced: false },
                { tag: "two-part supported never forces", local: "1.0.1", last: "1.0.1", supported: "2.0", skip: [], shown: false, forced: false }
            ]
        }

        function test_activate(data) {
            var panel = createTemporaryObject(panelComponent, root)
            panel.versionSkipList = data.skip
            compare(panel.activate(data.local, data.last, data.supported), data.forced)
            compare(panel.forcedUpdate, data.forced)
            compare(panel.visible, data.shown)
            compare(panel.current_version, data.local)
            if (data.shown) {
                compare(findChild(panel.contentItem, "messageField").text, data.message)
                compare(findChild(panel.contentItem, "versionLine").text, "Vexar Anonymizer " + data.local)
                compare(findChild(panel.contentItem, "skipButton").visible, !data.forced)
                compare(findChild(panel.contentItem, "quitButton").visible, data.forced)
                compare(findChild(panel.contentItem, "downloadButton").visible, true)
            }
            // Hidden again without closing, which would end the program for a forced notice.
            panel.visible = false
        }

        // A skip is stored and survives into the next start, a single skipped version as well
        // as several.
        function test_skipIsStoredAndReadBack() {
            var panel = createTemporaryObject(panelComponent, root)
            panel.activate("1.0.1", "1.2.10", "1.0.0")
            verify(panel.visible)
            var skip = findChild(panel.contentItem, "skipButton")
            tryVerify(function () { return skip.width > 0 })
            mousePress(skip)
            tryVerify(function () { return !panel.visible })
            mouseRelease(skip)
            compare(panel.versionSkipList, ["1.2.10"])
            compare(panel.skipCount, 1)
            panel.destroy()
            // On disk in the group "general", as a list rather than an opaque script value.
            tryVerify(function () {
                var text = TestSupport.windowSettingsFileText()
                return /\[%?general\]/i.test(text) && text.indexOf("versionSkipList=") !== -1
                        && text.indexOf("skipCount=1") !== -1 && text.indexOf("QJSValue") === -1
            }, 3000)

            var next = createTemporaryObject(panelComponent, root)
            compare(next.versionSkipList, ["1.2.10"])
            compare(next.skipCount, 1)
            next.activate("1.0.1", "1.2.10", "1.0.0")
            verify(!next.visible)
            // A version that is only a piece of the skipped text is still offered.
            next.activate("1.0.1", "1.2.1", "1.0.0")
            verify(next.visible)
            next.skipVersion()
            next.destroy()
            tryVerify(function () {
                return TestSupport.windowSettingsFileText().indexOf("skipCount=2") !== -1
            }, 3000)

            var third = createTemporaryObject(panelComponent, root)
            compare(third.versionSkipList, ["1.2.10", "1.2.1"])
            compare(third.skipCount, 2)
        }

        // However the store hands the list back, a skipped version matches whole only.
        function test_storedSkipListForms_data() {
            return [
                { tag: "one version as plain text", stored: "1.2.10", list: ["1.2.10"] },
                { tag: "empty text", stored: "", list: [] },
                { tag: "nothing stored", stored: undefined, list: [] }
            ]
        }

        function test_storedSkipListForms(data) {
            if (data.stored !== undefined)
                TestSupport.setWindowSetting("general/versionSkipList", data.stored)
            var panel = createTemporaryObject(panelComponent, root)
            compare(panel.versionSkipList, data.list)
            panel.activate("1.0.1", "1.2.1", "1.0.0")
            verify(panel.visible)
            panel.visible = false
        }

        function test_closingOptionalNoticeStoresNothing() {
            var panel = createTemporaryObject(panelComponent, root)
            panel.activate("1.0.1", "1.2.0", "1.0.0")
            verify(panel.visible)
            panel.close()
            verify(!panel.visible)
            compare(panel.versionSkipList, [])
            panel.activate("1.0.1", "1.2.0", "1.0.0")
            verify(panel.visible)
            panel.visible = false
        }
    }
}
