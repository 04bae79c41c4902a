import QtQuick
import QtTest

// The real main window, loaded from the resources, with the stand-in bridge. Any warning it
// gives fails the test.
Item {
    id: root
    width: 400
    height: 400

    readonly property color idle: "#151A30"
    readonly property color busy: "#FFC133"

    Component {
        id: dragSourceComponent
        Item {
            width: 10
            height: 10
            Drag.dragType: Drag.Internal
            Drag.supportedActions: Qt.CopyAction | Qt.MoveAction
            Drag.proposedAction: Qt.MoveAction
        }
    }

    TestCase {
        name: "MainWindow"
        when: windowShown

        property var window: null
        readonly property var mainComponent: Qt.createComponent("qrc:/qml/main.qml")
        // The default profile's eight shown tags, one of them switched off.
        readonly property var defaultTags: {
            var tags = {}
            for (const name of ["BirthDate", "PatientsID", "PatientsName", "PatientsSex", "PatientsWeight",
                                "StudyDate", "StudyDescription", "StudyID"])
                tags[name] = { "mode": name.endsWith("Date") ? "date" : "string", "enabled": name !== "PatientsSex",
                               "replace": name.endsWith("Date") ? "19700101" : "----" }
            return tags
        }

        function init() {
            // The offscreen platform cannot raise a window; nothing else may warn.
            failOnWarning(/^(?!This plugin does not support raise)/)
            TestSupport.clearWindowSettings()
            Handler.take()
            window = createTemporaryObject(mainComponent, root)
            waitForRendering(window.contentItem)
            // Once, when the window is complete: the bridge answers with the tag list.
            compare(Handler.take(), ["qmlCompleted="])
        }

        function cleanup() {
            // A forced notice would end the program when the window closes.
            item("updatePanel").forcedUpdate = false
        }

        function item(name) {
            return findChild(window, name)
        }

        function part(row, name) {
            item("tagView").forceLayout()
            return findChild(item("tagView").itemAtIndex(row), name)
        }

        // What one half of a row shows: nothing when hidden, else the placeholder (what is
        // written while the field is empty), "(date)" when the field opens the picker, and the
        // switch.
        function shown(row, side) {
            var field = part(row, "field_" + side), toggle = part(row, "switch_" + side)
            if (!field.visible || !toggle.visible)
                return ""
            return field.placeholderText + (field.readOnly ? " (date)" : "") + (toggle.checked ? " on" : " off")
        }

        function loadDefaultTags() {
            Handler.sendToQml("loadTagsList", defaultTags)
            verify(part(3, "field_1"))
            Handler.take()
        }

        // Names are paired in the payload's order; a new list replaces the old one whole.
        function test_tagRows_data() {
            return [
                { tag: "default eight", names: Object.keys(defaultTags), rows: [
                      ["1970-01-01 (date) on", "---- on"], ["---- on", "kept as it is off"],
                      ["---- on", "1970-01-01 (date) on"], ["---- on", "---- on"]] },
                { tag: "odd count", names: ["BirthDate", "PatientsID", "StudyDate"], rows: [
                      ["1970-01-01 (date) on", "---- on"], ["1970-01-01 (date) on", ""]] },
                { tag: "none", names: [], rows: [] }
            ]
        }

        function test_tagRows(data) {
            Handler.sendToQml("loadTagsList", defaultTags)
            var tags = {}
            for (const name of data.names)
                tags[name] = defaultTags[name]
            Handler.sendToQml("loadTagsList", tags)
            compare(item("tagView").count, data.rows.length)
            for (var i = 0; i < data.rows.length; ++i)
                compare([shown(i, 1), shown(i, 2)], data.rows[i], "row " + i)
        }

        // A tag's cycle. Typed text is sent at each change; a date picked in the calendar is
        // sent as yyyyMMdd and shown as yyyy-MM-dd, in its own field only. Switching off empties
        // the field and the entry's text with it, so nothing hides behind the placeholder, and
        // switching on again does not bring it back.
        function test_editAndSwitch_data() {
            return [
                { tag: "typed text", row: 0, side: 2, name: "PatientsID", keys: "xyz", shows: "xyz",
                  sent: ["changeTagText=PatientsID:x", "changeTagText=PatientsID:xy", "changeTagText=PatientsID:xyz"] },
                { tag: "picked date", row: 0, side: 1, name: "BirthDate", keys: "", shows: "2021-03-05",
                  sent: ["changeTagText=BirthDate:20210305"] },
                { tag: "empty text", row: 1, side: 1, name: "PatientsName", keys: "", shows: "", sent: [] }
            ]
        }

        function test_editAndSwitch(data) {
            loadDefaultTags()
            var field = part(data.row, "field_" + data.side)
            var picker = item("datePicker")
            window.requestActivate()
            mouseClick(field)
            if (field.readOnly) {
                tryVerify(function () { return picker.opened })
                compare(picker.mode, data.name)
                // On the date that is written while the field is empty.
                compare(picker.selectedDate.toLocaleDateString(Qt.locale("C"), "yyyy-MM-dd"), "1970-01-01")
                compare(picker.currentPage, 1970 * 12)
                picker.set(new Date(2021, 2, 20))
                var view = findChild(picker.contentItem, "monthView")
                mouseClick(findChild(view.itemAtIndex(view.currentIndex), "cell11")) // 5 March
                tryVerify(function () { return !picker.visible })
            } else {
                tryVerify(function () { return field.activeFocus })
                for (const key of data.keys)
                    keyClick(key)
            }
            compare(Handler.take(), data.sent)
            compare(item("tagView").itemAtIndex(data.row)["text_" + data.side], field.readOnly ? data.shows : "")
            if (field.readOnly) { // opens again on the date chosen
                mouseClick(field)
                tryVerify(function () { return picker.opened })
                compare(picker.selectedDate.toLocaleDateString(Qt.locale("C"), "yyyy-MM-dd"), data.shows)
                picker.close()
                tryVerify(function () { return !picker.visible })
            }
            for (var i = 0; i < 8; ++i) {
                var other = part(i >> 1, "field_" + (1 + i % 2))
                compare(other.text, other === field ? data.shows : "", other.tagName)
            }
            mouseClick(part(data.row, "switch_" + data.side))
            compare(Handler.take(), ["changeGUI=" + data.name + ":0", "changeTagText=" + data.name + ":"])
            compare([field.enabled, field.text], [false, ""])
            mouseClick(field)
            compare(picker.visible, false)
            mouseClick(part(data.row, "switch_" + data.side))
            compare(Handler.take(), ["changeGUI=" + data.name + ":1"])
            compare([field.enabled, field.text], [true, ""])
        }

        function test_progress_data() {
            return [
                { tag: "start", value: 0, bar: true, color: busy },
                { tag: "half", value: 0.5, bar: true, color: busy },
                { tag: "at the threshold", value: 0.9999, bar: false, color: busy },
                { tag: "done", value: 1, bar: false, color: idle }
            ]
        }

        function test_progress(data) {
            Handler.sendToQml("updateProgress", data.value)
            compare(item("fileProgress").visible, data.bar)
            compare(item("fileProgress").value, data.value)
            verify(Qt.colorEqual(item("dragPanel").color, data.color))
            // The count and the stop control show while the job runs.
            compare(item("runningCount").visible, data.bar)
            compare(item("stopButton").visible, data.bar)
        }

        // WCAG 2 relative luminance and contrast ratio.
        function luminance(c) {
            var f = function (v) { return v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4) }
            return 0.2126 * f(c.r) + 0.7152 * f(c.g) + 0.0722 * f(c.b)
        }
        function contrast(a, b) {
            var la = luminance(a), lb = luminance(b)
            return (Math.max(la, lb) + 0.05) / (Math.min(la, lb) + 0.05)
        }

        // While a job runs the panel counts its files, readable on the yellow ground, and the
        // stop control asks the bridge to stop once; the outcome ends the running look.
        function test_runningJob_data() {
            return [
                { tag: "small", done: 3, total: 8, text: "3 of 8 files" },
                { tag: "thousands", done: 1234, total: 5000, text: "1,234 of 5,000 files" }
            ]
        }

        function test_runningJob(data) {
            Handler.sendToQml("updateProgress", data.done / data.total)
            Handler.sendToQml("jobCount", { "done": data.done, "total": data.total })
            var count = item("runningCount")
            compare(count.text, data.text)
            verify(contrast(count.color, item("dragPanel").color) >= 4.5)
            verify(contrast(item("heading").color, item("dragPanel").color) >= 4.5)
            var stop = item("stopButton")
            tryVerify(function () { return stop.width > 0 })
            mouseClick(stop)
            mouseClick(stop)
            compare(Handler.take(), ["stopJob="])
            Handler.sendToQml("jobOutcome", { "text": "stopped after 3 of 8 files: 3 written · x_depersonification",
                                              "reports": [], "stopped": true })
            compare(count.visible, false)
            verify(Qt.colorEqual(item("dragPanel").color, idle))
            compare(item("outcome").text, "stopped after 3 of 8 files: 3 written · x_depersonification")
            Handler.sendToQml("updateProgress", 0.1) // the next job can be stopped again
            compare(stop.enabled, true)
        }

        // A drag over a running job turns the panel green, and idle when it leaves or drops; a
        // drop is taken as a copy even where the source proposes a move, and clears the last
        // job's outcome.
        function test_drag_data() {
            return [
                { tag: "leaves", drop: false, sent: [] },
                { tag: "drops", drop: true, sent: ["openFolder="] }
            ]
        }

        function test_drag(data) {
            Handler.sendToQml("jobOutcome", { "text": "1 file: 1 written · x_depersonification", "reports": [] })
            Handler.sendToQml("updateProgress", 0.5)
            Handler.take()
            var source = createTemporaryObject(dragSourceComponent, window.contentItem, { "x": 200, "y": 200 })
            source.Drag.active = true
            verify(Qt.colorEqual(item("dragPanel").color, "#74DF08"))
            if (data.drop)
                compare(source.Drag.drop(), Qt.CopyAction)
            else
                source.Drag.active = false
            verify(Qt.colorEqual(item("dragPanel").color, idle))
            compare(Handler.take(), data.sent)
            compare(item("outcome").visible, !data.drop)
            Handler.sendToQml("updateProgress", 0.6)
            verify(Qt.colorEqual(item("dragPanel").color, busy))
        }

        // A drop sends its plain text as it comes, else its URLs one per line.
        function test_dropText_data() {
            return [
                { tag: "plain text", hasText: true, text: "file:///a\nfile:///b", urls: ["file:///c"], sent: "file:///a\nfile:///b" },
                { tag: "URL list only", hasText: false, text: "", urls: ["file:///a", "file:///b%20c"], sent: "file:///a\nfile:///b%20c" },
                { tag: "empty text", hasText: true, text: "", urls: ["file:///a"], sent: "file:///a" },
                { tag: "nothing", hasText: false, text: "", urls: [], sent: "" }
            ]
        }

        function test_dropText(data) {
            compare(window.dropText(data), data.sent)
        }

        // The job's outcome shows until the next drop (see test_drag), or a click, which opens
        // the reports with the system's program for them; where none opens them the program
        // shows the report itself. The report's path shows with the line.
        function test_outcome_data() {
            return [
                { tag: "opened by a program", opens: true },
                { tag: "no program for it", opens: false }
            ]
        }

        function test_outcome(data) {
            var opened = []
            window.openExternally = function (url) { opened.push(String(url)); return data.opens }
            var line = item("outcome")
            compare(line.visible, false)
            var report = "file:///data/in%20x_depersonification.report.txt"
            Handler.sendToQml("jobOutcome", { "text": "3 files: 2 written, 1 failed · in x_depersonification", "reports": [report] })
            compare(line.visible, true)
            compare(line.text, "3 files: 2 written, 1 failed · in x_depersonification")
            compare(item("reportLine").text, "/data/in x_depersonification.report.txt")
            verify(item("reportLine").visible)
            mouseClick(line)
            compare(opened, [report])
            compare(line.visible, !data.opens)
            compare(Handler.take(), data.opens ? [] : ["readReport=" + report])
            var view = item("reportView")
            compare(view.visible, false)
            if (!data.opens) {
                Handler.sendToQml("reportText", { "path": "/data/in x_depersonification.report.txt", "text": "Files: 3\n" })
                tryVerify(function () { return view.visible })
                compare(findChild(view.contentItem, "reportText").text, "Files: 3\n")
                compare(findChild(view.contentItem, "reportText").readOnly, true)
                compare(findChild(view.contentItem, "reportPath").text, "/data/in x_depersonification.report.txt")
                view.close()
            }
        }

        // One short sentence for each control whose use is not plain to see.
        function test_tips_data() {
            return [
                { tag: "tag switch", name: "switchTip", says: "On: every copy gets the text in the field for BirthDate; off: its value is copied as it is." },
                { tag: "standard clean-up", name: "standardTip", says: "Off by default, when the profile alone leaves nested elements, other names and IDs, UIDs and private tags; on, the DICOM standard clean-up removes them at every level." },
                { tag: "folder icon", name: "folderTip", says: "Choose a folder to anonymize: the folder shown when you press Open is the one that runs." }
            ]
        }

        function test_tips(data) {
            loadDefaultTags()
            var tip = data.name === "switchTip" ? findChild(part(0, "switch_1"), "switchTip") : item(data.name)
            compare(tip.text, data.says)
            tip.delay = 0
            mouseMove(tip.parent, tip.parent.width / 2, tip.parent.height / 2)
            tryVerify(function () { return tip.shown })
            mouseMove(window.contentItem, 1, 1)
            tryVerify(function () { return !tip.shown })
        }

        // The bridge's messages reach the settings panel and the standard clean-up's switch,
        // and what they send reaches the bridge.
        function test_wiring() {
            var panel = item("settingsPanel")
            Handler.sendToQml("setDeviceID", { "version": "1.0.1" })
            compare(panel.current_version, "1.0.1")
            Handler.sendToQml("updateStatusConnection", { "status": "error", "message": "" })
            verify(Qt.colorEqual(panel.statusColor, "red"))
            Handler.sendToQml("updateServerContent", { "name": "A;;B", "email": "a@b.org", "organization": "O" })
            compare(findChild(panel, "surnameField").text, "B")
            compare(panel.visible, false)
            var standard = item("standardSwitch")
            Handler.sendToQml("standardCleanup", true)
            compare(standard.checked, true)
            Handler.take()
            panel.submit('{"email":"a@b.org"}')
            mouseClick(standard)
            mouseClick(standard)
            compare(Handler.take(), ['settings:submit={"email":"a@b.org"}', "standardCleanup=0", "standardCleanup=1"])
            Handler.sendToQml("standardCleanup", false)
            compare(standard.checked, false)
            mouseClick(item("profileButton"))
            tryVerify(function () { return panel.visible })
            panel.visible = false
        }

        // The options list shows the core's set, sends the whole set at each change, and never
        // has both kinds of dates on.
        function test_options() {
            var list = item("optionsList")
            Handler.sendToQml("standardOptions", ["modified-dates", "retain-uids"])
            compare(list.chosen, ["modified-dates", "retain-uids"])
            compare(item("optionsButton").text, "Options (2)")
            Handler.take()
            mouseClick(item("optionsButton"))
            tryVerify(function () { return list.opened })
            var full = findChild(list.contentItem, "option:retain-full-dates")
            verify(full)
            compare(full.checked, false)
            mouseClick(full)
            compare(Handler.take(), ["standardOptions=retain-uids,retain-full-dates"])
            compare(findChild(list.contentItem, "option:modified-dates").checked, false)
            mouseClick(findChild(list.contentItem, "option:retain-uids"))
            compare(Handler.take(), ["standardOptions=retain-full-dates"])
            Handler.sendToQml("standardOptions", [])
            compare(item("optionsButton").text, "Options")
            list.close()
            tryVerify(function () { return !list.visible })
        }

        // Whatever the bridge sends is taken without a warning, and shows a window only where
        // it should: the update notice needs all three versions, and its download page comes
        // from the build's configuration, through the bridge.
        function test_bridgeMessages_data() {
            var url = "https://download.example.org/vexar"
            return [
                { tag: "version check", key: "checkVersion", shows: "updatePanel",
                  value: { "local_version": "1.0.1", "last_version": "1.2.0", "supported_version": "1.0.0", "download_url": url } },
                { tag: "version check without last", key: "checkVersion", value: { "local_version": "1.0.1", "supported_version": "1.1.0" } },
                { tag: "version check without supported", key: "checkVersion", value: { "local_version": "1.0.1", "last_version": "1.2.0" } },
                { tag: "version check without local", key: "checkVersion", value: { "last_version": "1.2.0", "supported_version": "1.1.0" } },
                { tag: "tag entries that are not objects", key: "loadTagsList", value: { "A": null, "B": 5, "C": "text" } },
                { tag: "profile without members", key: "updateServerContent", value: {} },
                { tag: "version missing", key: "setDeviceID", value: {} },
                { tag: "status missing", key: "updateStatusConnection", value: {} },
                { tag: "outcome missing", key: "jobOutcome", value: null },
                { tag: "unknown key", key: "noSuchKey", value: "x" }
            ]
        }

        function test_bridgeMessages(data) {
            loadDefaultTags()
            Handler.sendToQml(data.key, data.value)
            part(0, "field_1")
            compare(Handler.take(), [])
            for (const name of ["settingsPanel", "updatePanel"])
                compare(item(name).visible, name === data.shows, name)
            compare(item("updatePanel").downloadPage, (data.value && data.value.download_url) || "")
            item("updatePanel").visible = false
        }

        // "Open" takes the shown folder where nothing inside it is selected (here it has no
        // subfolder), and the next start opens at the folder last chosen, else at home.
        function test_folderDialog_data() {
            return [
                { tag: "cancelled", accept: false },
                { tag: "accepted", accept: true }
            ]
        }

        function findByText(item, text) {
            if (!item)
                return null
            if (item.text === text && item.clicked !== undefined)
                return item
            for (var i = 0; i < item.children.length; ++i) {
                var found = findByText(item.children[i], text)
                if (found)
                    return found
            }
            return null
        }

        // Qt's own dialog, driven as a user does: enter Knee (which holds series1 and series2)
        // with a click, press Open. Knee runs, not the subfolder the dialog highlights.
        function test_folderDialogRunsTheFolderEntered() {
            var dialog = item("folderDialog")
            dialog.currentFolder = TestSupport.treeFolderUrl()
            mouseClick(item("folderIcon"))
            tryVerify(function () { return dialog.visible })
            var knee = null
            tryVerify(function () {
                for (var i = 0; i < 2 && !knee; ++i) {
                    var d = findChild(window.contentItem, "folderDialogDelegate" + i)
                    if (d && d.fileName === "Knee")
                        knee = d
                }
                return knee !== null
            })
            mouseDoubleClickSequence(knee)
            var kneeUrl = TestSupport.treeFolderUrl() + "/Knee"
            tryCompare(dialog, "currentFolder", kneeUrl)
            var open = findByText(window.contentItem, "Open")
            verify(open)
            Handler.take()
            mouseClick(open)
            tryVerify(function () { return !dialog.visible })
            compare(Handler.take(), ["openFolder=" + kneeUrl])
        }

        function test_folderDialog(data) {
            var dialog = item("folderDialog")
            compare(String(dialog.currentFolder), TestSupport.homeUrl())
            var folder = TestSupport.emptyFolderUrl()
            dialog.currentFolder = folder
            mouseClick(item("folderIcon"))
            tryVerify(function () { return dialog.visible })
            tryCompare(dialog, "selectedFolder", folder)
            Handler.take()
            if (data.accept)
                dialog.accept()
            else
                dialog.reject()
            tryVerify(function () { return !dialog.visible })
            compare(Handler.take(), data.accept ? ["openFolder=" + folder] : [])
            if (data.accept)
                tryVerify(function () { return TestSupport.windowSettingsFileText().indexOf(folder) !== -1 })
            var next = createTemporaryObject(mainComponent, root)
            compare(String(findChild(next, "folderDialog").currentFolder), data.accept ? String(folder) : TestSupport.homeUrl())
        }
    }
}
