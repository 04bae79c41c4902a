import QtQuick
import QtTest

Item {
    id: root
    width: 400
    height: 400

    Component {
        id: dragSourceComponent
        Item {
            width: 10
            height: 10
            Drag.dragType: Drag.Internal
        }
    }

    TestCase {
        name: "MainWindow"
        when: windowShown

        property var window: null
        readonly property var defaultTags: ({
            "BirthDate": { "mode": "date", "enabled": true },
            "PatientsID": { "mode": "string", "enabled": true },
            "PatientsName": { "mode": "string", "enabled": true },
            "PatientsSex": { "mode": "string", "enabled": false },
            "PatientsWeight": { "mode": "string", "enabled": true },
            "StudyDate": { "mode": "date", "enabled": true },
            "StudyDescription": { "mode": "string", "enabled": true },
            "StudyID": { "mode": "string", "enabled": true }
        })

        function init() {
            TestSupport.clearWindowSettings()
            Handler.clear()
            window = createTemporaryObject(Qt.createComponent("qrc:/qml/main.qml"), root)
            verify(window)
            waitForRendering(window.contentItem)
        }

        function cleanup() {
            var update = findChild(window, "updatePanel")
            if (update)
                update.forcedUpdate = false
        }

        function item(name) {
            return findChild(window, name)
        }

        function row(i) {
            var view = item("tagView")
            view.forceLayout()
            return view.itemAtIndex(i)
        }

        function part(i, name) {
            return findChild(row(i), name)
        }

        function sent() {
            var list = Handler.messages()
            var out = []
            for (var i = 0; i < list.length; ++i)
                out.push(list[i].key + "=" + list[i].value)
            return out
        }

        function loadDefaultTags() {
            Handler.sendToQml("loadTagsList", defaultTags)
            tryVerify(function () { return row(3) !== null })
            Handler.clear()
        }

        function test_startSendsQmlCompletedOnce() {
            compare(sent(), ["qmlCompleted="])
            compare(window.title, "Vexar Anonymizer")
            verify(Qt.colorEqual(item("dragPanel").color, "#151A30"))
            compare(item("fileProgress").visible, false)
            compare(item("tagView").count, 0)
            compare(item("settingsPanel").visible, false)
            compare(item("updatePanel").visible, false)
            compare(item("datePicker").visible, false)
        }

        function test_tagRows_data() {
            return [
                { tag: "default eight", names: ["BirthDate", "PatientsID", "PatientsName", "PatientsSex",
                                                 "PatientsWeight", "StudyDate", "StudyDescription", "StudyID"],
                  rows: [["BirthDate", "PatientsID"], ["PatientsName", "PatientsSex"],
                         ["PatientsWeight", "StudyDate"], ["StudyDescription", "StudyID"]] },
                { tag: "odd count", names: ["BirthDate", "PatientsID", "StudyDate"],
                  rows: [["BirthDate", "PatientsID"], ["StudyDate", ""]] },
                { tag: "single", names: ["StudyID"], rows: [["StudyID", ""]] },
                { tag: "none", names: [], rows: [] }
            ]
        }

        function test_tagRows(data) {
            // A previous list is replaced whole.
            Handler.sendToQml("loadTagsList", defaultTags)
            var tags = {}
            for (var n = 0; n < data.names.length; ++n)
                tags[data.names[n]] = defaultTags[data.names[n]]
            Handler.sendToQml("loadTagsList", tags)
            compare(item("tagView").count, data.rows.length)
            for (var i = 0; i < data.rows.length; ++i) {
                var left = data.rows[i][0], right = data.rows[i][1]
                compare(row(i).name_1, left)
                compare(row(i).name_2, right)
                compare(part(i, "field_1").placeholderText, "rename " + left)
                compare(part(i, "field_1").readOnly, defaultTags[left].mode === "date")
                compare(part(i, "switch_1").checked, defaultTags[left].enabled)
                compare(part(i, "field_2").visible, right !== "")
                compare(part(i, "switch_2").visible, right !== "")
                if (right !== "") {
                    compare(part(i, "switch_2").checked, defaultTags[right].enabled)
                    compare(part(i, "field_2").readOnly, defaultTags[right].mode === "date")
                }
            }
        }

        function test_switchOffAndOnTextTag() {
            loadDefaultTags()
            var field = part(1, "field_1") // PatientsName
            field.text = "Anon"
            Handler.clear()
            mouseClick(part(1, "switch_1"))
            compare(sent(), ["changeGUI=PatientsName:0", "changeTagText=PatientsName:"])
            compare(field.enabled, false)
            Handler.clear()
            mouseClick(part(1, "switch_1"))
            compare(sent(), ["changeGUI=PatientsName:1"])
            compare(field.enabled, true)
            compare(field.text, "")
        }

        // The switch shows what the core keeps, and a click tells the core.
        function test_standardCleanupSwitch() {
            var standard = item("standardSwitch")
            Handler.sendToQml("standardCleanup", true)
            compare(standard.checked, true)
            Handler.clear()
            mouseClick(standard)
            compare(sent(), ["standardCleanup=0"])
            compare(standard.checked, false)
            mouseClick(standard)
            compare(sent(), ["standardCleanup=0", "standardCleanup=1"])
            Handler.sendToQml("standardCleanup", false)
            compare(standard.checked, false)
        }

        // Switching off resets the entry's text too, so no date or text hides behind the
        // placeholder: also for a date field, and for a field emptied by a new tag list.
        function test_switchOffDateTag() {
            loadDefaultTags()
            window.updateTag("BirthDate", "2021-03-05")
            compare(part(0, "field_1").text, "2021-03-05")
            Handler.clear()
            mouseClick(part(0, "switch_1"))
            compare(sent(), ["changeGUI=BirthDate:0", "changeTagText=BirthDate:"])
            Handler.clear()
            mouseClick(part(0, "switch_2")) // PatientsID, empty
            compare(sent(), ["changeGUI=PatientsID:0", "changeTagText=PatientsID:"])
            compare(part(0, "field_1").text, "")
            // A disabled date field no longer opens the picker.
            mouseClick(part(0, "field_1"))
            compare(item("datePicker").visible, false)
        }

        function test_typingSendsEachChange() {
            loadDefaultTags()
            var field = part(0, "field_2") // PatientsID
            window.requestActivate()
            mouseClick(field)
            tryVerify(function () { return field.activeFocus })
            keyClick(Qt.Key_X)
            keyClick(Qt.Key_Y)
            keyClick(Qt.Key_Z)
            compare(sent(), ["changeTagText=PatientsID:x", "changeTagText=PatientsID:xy",
                             "changeTagText=PatientsID:xyz"])
        }

        function test_chosenDate() {
            loadDefaultTags()
            var picker = item("datePicker")
            mouseClick(part(0, "field_1")) // BirthDate
            tryVerify(function () { return picker.opened })
            compare(picker.mode, "BirthDate")
            picker.set(new Date(2021, 2, 20))
            var view = findChild(picker.contentItem, "monthView")
            var cell = findChild(view.itemAtIndex(view.currentIndex), "cell11") // 5 March 2021
            compare(cell.date, 5)
            mouseClick(cell)
            tryVerify(function () { return !picker.visible })
            compare(sent(), ["changeTagText=BirthDate:20210305"])
            compare(part(0, "field_1").text, "2021-03-05")
            compare(row(0).text_1, "2021-03-05")
            compare(part(2, "field_2").text, "") // StudyDate
            compare(part(0, "field_2").text, "")
        }

        function test_progress_data() {
            return [
                { tag: "start", value: 0, bar: true, color: "#FFC133" },
                { tag: "half", value: 0.5, bar: true, color: "#FFC133" },
                { tag: "at the threshold", value: 0.9999, bar: false, color: "#FFC133" },
                { tag: "done", value: 1, bar: false, color: "#151A30" }
            ]
        }

        function test_progress(data) {
            Handler.sendToQml("updateProgress", data.value)
            compare(item("fileProgress").visible, data.bar)
            compare(item("fileProgress").value, data.value)
            verify(Qt.colorEqual(item("dragPanel").color, data.color))
        }

        function test_dragEnterAndLeave() {
            Handler.sendToQml("updateProgress", 0.5)
            var source = createTemporaryObject(dragSourceComponent, window.contentItem, { "x": 200, "y": 200 })
            source.Drag.active = true
            verify(Qt.colorEqual(item("dragPanel").color, "#74DF08"))
            source.Drag.active = false
            verify(Qt.colorEqual(item("dragPanel").color, "#151A30"))
            compare(sent(), ["qmlCompleted="])
            Handler.sendToQml("updateProgress", 0.6)
            verify(Qt.colorEqual(item("dragPanel").color, "#FFC133"))
        }

        // A drop sends what it carries, turns the panel idle and is taken as a copy even where
        // the source proposes a move.
        function test_drop() {
            var source = createTemporaryObject(dragSourceComponent, window.contentItem, { "x": 200, "y": 200 })
            source.Drag.supportedActions = Qt.CopyAction | Qt.MoveAction
            source.Drag.proposedAction = Qt.MoveAction
            source.Drag.active = true
            verify(Qt.colorEqual(item("dragPanel").color, "#74DF08"))
            compare(source.Drag.drop(), Qt.CopyAction)
            compare(Handler.values("openFolder").length, 1)
            verify(Qt.colorEqual(item("dragPanel").color, "#151A30"))
        }

        // The job's outcome shows until the next drop, or a click, which opens the reports.
        function test_outcome() {
            var line = item("outcome")
            compare(line.visible, false)
            Handler.sendToQml("updateProgress", 1)
            Handler.sendToQml("jobOutcome", { "text": "3 files: 2 written, 1 failed · in_depersonification",
                                              "reports": ["file:///nonexistent/in_depersonification.report.txt"] })
            compare(line.visible, true)
            compare(line.text, "3 files: 2 written, 1 failed · in_depersonification")
            // The colours and the bar keep their own rules.
            verify(Qt.colorEqual(item("dragPanel").color, "#151A30"))
            compare(item("fileProgress").visible, false)
            window.openFolders("file:///nowhere")
            compare(line.visible, false)
            Handler.sendToQml("jobOutcome", { "text": "1 file: 1 written · x_depersonification", "reports": [] })
            compare(line.visible, true)
            mouseClick(line)
            compare(line.visible, false)
        }

        function test_dropText_data() {
            return [
                { tag: "plain text as it comes", drop: { "hasText": true, "text": "file:///data/a\nfile:///data/b", "urls": ["file:///other"] },
                  text: "file:///data/a\nfile:///data/b" },
                { tag: "URL list only, one per line", drop: { "hasText": false, "text": "", "urls": ["file:///data/a", "file:///data/b%20c"] },
                  text: "file:///data/a\nfile:///data/b%20c" },
                { tag: "empty text falls back to the URLs", drop: { "hasText": true, "text": "", "urls": ["file:///data/a"] },
                  text: "file:///data/a" },
                { tag: "nothing at all", drop: { "hasText": false, "text": "", "urls": [] }, text: "" }
            ]
        }

        function test_dropText(data) {
            compare(window.dropText(data.drop), data.text)
        }

        function test_checkVersion_data() {
            return [
                { tag: "all three, newer", value: { "local_version": "1.0.1", "last_version": "1.2.0", "supported_version": "1.0.0",
                                                    "download_url": "https://download.example.org/vexar" }, shown: true },
                { tag: "no last version", value: { "local_version": "1.0.1", "supported_version": "1.1.0" }, shown: false },
                { tag: "no supported version", value: { "local_version": "1.0.1", "last_version": "1.2.0" }, shown: false },
                { tag: "no local version", value: { "last_version": "1.2.0", "supported_version": "1.1.0" }, shown: false }
            ]
        }

        function test_checkVersion(data) {
            Handler.sendToQml("checkVersion", data.value)
            compare(item("updatePanel").visible, data.shown)
            // The download page comes from the build's configuration, through the bridge.
            compare(item("updatePanel").downloadPage, data.value.download_url || "")
            item("updatePanel").visible = false
        }

        function test_settingsPanelWiring() {
            var panel = item("settingsPanel")
            Handler.sendToQml("setDeviceID", { "version": "1.0.1" })
            compare(panel.current_version, "1.0.1")
            Handler.sendToQml("updateStatusConnection", { "status": "error", "message": "" })
            verify(Qt.colorEqual(panel.statusColor, "red"))
            Handler.sendToQml("updateServerContent", { "name": "A;;B", "email": "a@b.org", "organization": "O" })
            compare(findChild(panel, "surnameField").text, "B")
            Handler.clear()
            panel.submit('{"email":"a@b.org","name":"A;;B","organization":"O"}')
            compare(sent(), ['settings:submit={"email":"a@b.org","name":"A;;B","organization":"O"}'])
            Handler.sendToQml("noSuchKey", "x")
            compare(panel.visible, false)
        }

        function test_profileButtonOpensSettings() {
            var button = item("profileButton")
            compare(button.width, 40)
            compare(button.height, 40)
            mouseClick(button)
            tryVerify(function () { return item("settingsPanel").visible })
            item("settingsPanel").visible = false
        }

        function test_folderDialog() {
            mouseClick(item("folderIcon"))
            var dialog = item("folderDialog")
            tryVerify(function () { return dialog.visible })
            dialog.currentFolder = "file:///tmp"
            dialog.accept()
            tryVerify(function () { return !dialog.visible })
            compare(Handler.values("openFolder").length, 1)
            verify(String(Handler.values("openFolder")[0]).indexOf("file:///") === 0)
        }

        // With nothing selected inside the shown folder (it has no subfolder), "Open" takes
        // the shown folder.
        function test_folderDialogTakesTheShownFolder() {
            var dialog = item("folderDialog")
            var empty = TestSupport.emptyFolderUrl()
            dialog.currentFolder = empty
            mouseClick(item("folderIcon"))
            tryVerify(function () { return dialog.visible })
            tryCompare(dialog, "selectedFolder", empty)
            dialog.accept()
            tryVerify(function () { return !dialog.visible })
            compare(Handler.values("openFolder"), [String(empty)])
        }

        function test_folderDialogStartsAtHome() {
            compare(String(item("folderDialog").currentFolder), TestSupport.homeUrl())
        }

        function test_folderDialogCancelled() {
            mouseClick(item("folderIcon"))
            var dialog = item("folderDialog")
            tryVerify(function () { return dialog.visible })
            dialog.reject()
            tryVerify(function () { return !dialog.visible })
            compare(Handler.values("openFolder"), [])
        }
    }
}
