import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Dialogs
import QtQuick.Layouts
import QtQuick.Templates as T
import QtQuick.Window
import Qt.labs.platform as Platform
import Qt.labs.settings
import "qrc:/qml/Tools/"

// The main window: drop folders (or pick one) to anonymize them, watch the job, and set each
// shown tag's switch and replacement text. The only place that talks to Handler.
Window {
    id: mainWindow

    // A date chosen in the picker, by tag name, in display form; each row picks up its own.
    signal updateTag(string key, string value)

    // Opens a report with the system's program for it; the tests put in their own.
    property var openExternally: function (url) { return Qt.openUrlExternally(url) }
    // While a job runs: its count and the stop control show on the panel.
    readonly property bool running: fileProgress.visible

    function openFolders(text) {
        outcome.clear()
        Handler.receiveFromQml("openFolder", text)
    }

    function stopJob() {
        stopButton.enabled = false
        Handler.receiveFromQml("stopJob", "")
    }

    // "1,234 of 5,000 files", as the bridge counts them.
    function showCount(value) {
        if (!value || value.done === undefined || value.total === undefined)
            return
        var english = Qt.locale("en_US")
        runningCount.text = qsTr("%1 of %2 files").arg(Number(value.done).toLocaleString(english, "f", 0))
                .arg(Number(value.total).toLocaleString(english, "f", 0))
    }

    // A profile text as its field shows it: a date of eight digits as yyyy-MM-dd.
    function displayForm(text, mode) {
        var t = String(text || "")
        if (mode === "date" && /^[0-9]{8}$/.test(t))
            return t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2)
        return t
    }

    // The day a date field stands for (its chosen date, else the replacement written), or
    // today where it holds none.
    function fieldDate(text) {
        var match = /^([0-9]{4})-([0-9]{2})-([0-9]{2})$/.exec(String(text || ""))
        if (!match)
            return new Date()
        return datePicker.dateOf(Number(match[1]), Number(match[2]) - 1, Number(match[3]))
    }

    function changeSwitch(name, on) {
        Handler.receiveFromQml("changeGUI", name + ":" + (on ? "1" : "0"))
    }

    function changeStandardCleanup(on) {
        Handler.receiveFromQml("standardCleanup", on ? 1 : 0)
    }

    function changeText(name, text) {
        Handler.receiveFromQml("changeTagText", name + ":" + text)
    }

    // The drop's plain text as it came; file managers that offer only a URL list get one
    // URL per line.
    function dropText(drop) {
        if (drop.hasText && drop.text !== "")
            return drop.text
        var lines = []
        for (var i = 0; i < drop.urls.length; ++i)
            lines.push(String(drop.urls[i]))
        return lines.join("\n")
    }

    // Names paired in the payload's key order, left then right. An odd last name stands
    // alone, its right half empty.
    function loadTags(tags) {
        listModel.clear()
        var names = Object.keys(tags || {})
        for (var i = 0; 2 * i < names.length; ++i) {
            var left = names[2 * i]
            var right = 2 * i + 1 < names.length ? names[2 * i + 1] : ""
            var leftTag = tags[left] || {}
            var rightTag = right !== "" ? (tags[right] || {}) : {}
            listModel.append({
                "name_1": left,
                "name_2": right,
                "text_1": "",
                "text_2": "",
                "mode_1": String(leftTag.mode || ""),
                "mode_2": String(rightTag.mode || ""),
                "isChecked_1": leftTag.enabled === true,
                "isChecked_2": rightTag.enabled === true,
                "replace_1": displayForm(leftTag.replace, leftTag.mode),
                "replace_2": displayForm(rightTag.replace, rightTag.mode)
            })
        }
    }

    function updateProgress(value) {
        if (!fileProgress.visible && value < 0.9999)
            stopButton.enabled = true
        fileProgress.visible = value < 0.9999
        fileProgress.value = value
        dragPanel.color = value > 0.9999 ? Theme.ground : Theme.busy
    }

    function checkVersion(value) {
        if (!value || value.local_version === undefined || value.last_version === undefined
                || value.supported_version === undefined)
            return
        if (value.download_url !== undefined)
            updatePanel.downloadPage = String(value.download_url)
        updatePanel.activate(value.local_version, value.last_version, value.supported_version)
    }

    function chooseDate(name, date) {
        datePicker.close()
        changeText(name, date.toLocaleDateString(Qt.locale("C"), "yyyyMMdd"))
        mainWindow.updateTag(name, date.toLocaleDateString(Qt.locale("C"), "yyyy-MM-dd"))
    }

    title: "Vexar Anonymizer"
    width: 500
    height: 650
    minimumWidth: 500
    maximumWidth: 500
    minimumHeight: 650
    maximumHeight: 650
    visible: true

    Component.onCompleted: Handler.receiveFromQml("qmlCompleted", "")

    Connections {
        target: Handler

        function onSendToQml(key, value) {
            switch (key) {
            case "loadTagsList":
                mainWindow.loadTags(value)
                break
            case "updateProgress":
                mainWindow.updateProgress(Number(value))
                break
            case "setDeviceID":
                if (value && value.version !== undefined)
                    settingsPanel.setCurrentVersion(String(value.version))
                break
            case "updateServerContent":
                settingsPanel.setConfig(value)
                break
            case "updateStatusConnection":
                if (value)
                    settingsPanel.setStatus(value.status)
                break
            case "checkVersion":
                mainWindow.checkVersion(value)
                break
            case "standardCleanup":
                standardSwitch.checked = value === true
                break
            case "standardOptions":
                optionsList.chosen = value ? Array.from(value) : []
                break
            case "jobOutcome":
                if (value) {
                    outcome.show(String(value.text), value.reports || [])
                    // A stopped job sends no last progress message.
                    mainWindow.updateProgress(1)
                }
                break
            case "jobCount":
                mainWindow.showCount(value)
                break
            case "reportText":
                if (value)
                    reportView.showReport(String(value.path), String(value.text))
                break
            default:
                break
            }
        }
    }

    Rectangle {
        anchors.fill: parent
        color: Theme.accent
    }

    Column {
        anchors.fill: parent
        spacing: 0

        Rectangle {
            id: dragPanel
            objectName: "dragPanel"
            width: parent.width
            height: parent.height - tagBand.height
            color: Theme.ground

            Column {
                anchors.fill: parent
                spacing: 0

                Text {
                    id: heading
                    objectName: "heading"
                    width: parent.width
                    topPadding: 20
                    text: "DRAG’N’DROP \n DICOM \n FOLDER"
                    color: mainWindow.running ? Theme.textOnBusy : Theme.text
                    font.family: Theme.fontFamily
                    font.bold: true
                    font.pixelSize: 42
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                }

                Item {
                    width: parent.width
                    height: 110

                    Image {
                        id: folderIcon
                        objectName: "folderIcon"
                        y: 10
                        width: 100
                        height: 100
                        anchors.horizontalCenter: parent.horizontalCenter
                        source: "qrc:/img/download.png"
                        fillMode: Image.PreserveAspectFit
                        smooth: true
                        mipmap: true

                        MouseArea {
                            anchors.fill: parent
                            cursorShape: Qt.PointingHandCursor
                            onClicked: folderDialog.open()
                        }
                        HoverTip {
                            objectName: "folderTip"
                            text: qsTr("Choose a folder to anonymize: the folder shown when you press Open is the one that runs.")
                        }
                    }
                }

                Item {
                    width: parent.width
                    height: Math.max(0, dragPanel.height - heading.height - 110 - fileProgress.height)

                    // How the last job ended, until the next drop or a click, which opens the
                    // job's reports.
                    Text {
                        id: outcome
                        objectName: "outcome"

                        property var reports: []

                        function show(text, reports) {
                            outcome.text = text
                            outcome.reports = reports
                            outcome.visible = true
                        }

                        function clear() {
                            outcome.visible = false
                            outcome.text = ""
                            outcome.reports = []
                        }

                        // Where no program opens a report, the program shows it itself; the
                        // line then stays, with the report's path.
                        function openReports() {
                            var allOpened = true
                            for (var i = 0; i < outcome.reports.length; ++i) {
                                if (!mainWindow.openExternally(outcome.reports[i])) {
                                    allOpened = false
                                    Handler.receiveFromQml("readReport", outcome.reports[i])
                                }
                            }
                            if (allOpened)
                                outcome.clear()
                        }

                        // The reports' paths, as the user would look for them.
                        readonly property string reportPaths: {
                            var paths = []
                            for (var i = 0; i < outcome.reports.length; ++i) {
                                var url = String(outcome.reports[i])
                                paths.push(decodeURIComponent(url.replace(/^file:\/\//, "")))
                            }
                            return paths.join("\n")
                        }

                        anchors.centerIn: parent
                        width: parent.width - 40
                        visible: false
                        color: Theme.text
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontSize
                        horizontalAlignment: Text.AlignHCenter
                        wrapMode: Text.Wrap
                        maximumLineCount: 3
                        elide: Text.ElideRight

                        MouseArea {
                            anchors.fill: parent
                            cursorShape: Qt.PointingHandCursor
                            onClicked: outcome.openReports()
                        }
                    }
                    Text {
                        objectName: "reportLine"
                        anchors.top: outcome.bottom
                        anchors.topMargin: 4
                        anchors.horizontalCenter: parent.horizontalCenter
                        width: outcome.width
                        visible: outcome.visible && outcome.reportPaths !== ""
                        text: outcome.reportPaths
                        color: Theme.muted
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontSize - 2
                        horizontalAlignment: Text.AlignHCenter
                        elide: Text.ElideMiddle
                        maximumLineCount: 2
                    }

                    // While a job runs: how far it is, and the control that stops it between
                    // files.
                    Column {
                        anchors.centerIn: parent
                        spacing: 6
                        visible: mainWindow.running

                        Text {
                            id: runningCount
                            objectName: "runningCount"
                            anchors.horizontalCenter: parent.horizontalCenter
                            color: Theme.textOnBusy
                            font.family: Theme.fontFamily
                            font.bold: true
                            font.pixelSize: Theme.fontSize + 2
                        }
                        StyleButton {
                            id: stopButton
                            objectName: "stopButton"
                            anchors.horizontalCenter: parent.horizontalCenter
                            text: enabled ? qsTr("Stop") : qsTr("Stopping…")
                            onClicked: mainWindow.stopJob()

                            HoverTip {
                                text: qsTr("Stops after the files under way; the report lists the files not done.")
                            }
                        }
                    }
                }

                ProgressBar {
                    id: fileProgress
                    objectName: "fileProgress"
                    width: parent.width
                    height: 5
                    from: 0
                    to: 1
                    value: 0
                    visible: false
                }
            }

            StyleIconButton {
                id: profileButton
                objectName: "profileButton"
                width: 40
                height: 40
                anchors.top: parent.top
                anchors.right: parent.right
                anchors.topMargin: 2
                anchors.rightMargin: 2
                mode_list: [{ "key": "none", "source": "qrc:/img/settings.png" }]
                toolTipText: qsTr("Profile")
                onClickButton: settingsPanel.activate(true)
            }
        }

        Rectangle {
            id: tagBand
            width: parent.width
            height: 250
            color: "transparent"

            ColumnLayout {
                anchors.fill: parent
                spacing: 0

                Rectangle {
                    Layout.fillWidth: true
                    Layout.preferredHeight: 200
                    Layout.alignment: Qt.AlignTop
                    color: "transparent"

                    ListView {
                        id: tagView
                        objectName: "tagView"
                        anchors.fill: parent
                        clip: true
                        model: ListModel {
                            id: listModel
                        }
                        delegate: tagRow
                    }
                }
                // The standard clean-up, on top of the tag rows; the core keeps its state.
                RowLayout {
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    Layout.leftMargin: Theme.margin
                    spacing: Theme.spacing

                    StyleSwitch {
                        id: standardSwitch
                        objectName: "standardSwitch"
                        tip: standardTip.text
                        onClicked: mainWindow.changeStandardCleanup(standardSwitch.checked)
                    }
                    Text {
                        objectName: "standardLabel"
                        Layout.fillWidth: true
                        text: "Standard clean-up: every level, UIDs, private tags"
                        color: Theme.text
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontSize
                        elide: Text.ElideRight

                        HoverTip {
                            id: standardTip
                            objectName: "standardTip"
                            text: qsTr("Off by default, when the profile alone leaves nested elements, other names and IDs, UIDs and private tags; on, the DICOM standard clean-up removes them at every level.")
                        }
                    }
                    StyleButton {
                        id: optionsButton
                        objectName: "optionsButton"
                        Layout.rightMargin: Theme.margin
                        text: optionsList.chosen.length > 0
                              ? qsTr("Options (%1)").arg(optionsList.chosen.length)
                              : qsTr("Options")
                        onClicked: optionsList.open()

                        HoverTip {
                            text: qsTr("The standard's options: what to keep (dates moved per patient, device, institution, patient characteristics, UIDs, safe private tags) or clean. They apply with the standard clean-up on.")
                        }
                    }
                    OptionsList {
                        id: optionsList
                        objectName: "optionsList"
                        onChanged: names => Handler.receiveFromQml("standardOptions", names.join(","))
                    }
                }
            }
        }
    }

    // A row of the tag list: two tags side by side. The window sends what their halves report
    // to the bridge and keeps a chosen date in the row's roles.
    Component {
        id: tagRow

        Item {
            id: row

            required property int index
            required property string name_1
            required property string name_2
            required property string text_1
            required property string text_2
            required property string mode_1
            required property string mode_2
            required property bool isChecked_1
            required property bool isChecked_2
            required property string replace_1
            required property string replace_2

            x: Theme.margin
            width: 350
            height: 50

            // A date chosen in the picker reaches the half whose tag it is.
            Connections {
                target: mainWindow
                function onUpdateTag(key, value) {
                    leftHalf.showDate(key, value)
                    rightHalf.showDate(key, value)
                }
            }

            RowLayout {
                anchors.fill: parent
                spacing: Theme.spacing

                TagHalf {
                    id: leftHalf
                    rowItem: row
                    side: 1
                    fieldWidth: 180
                    onChangeSwitch: (name, on) => mainWindow.changeSwitch(name, on)
                    onChangeText: (name, value) => mainWindow.changeText(name, value)
                    onPickDate: (name, shown) => datePicker.activate(name, mainWindow.fieldDate(shown))
                    onKeepDate: value => listModel.setProperty(row.index, "text_1", value)
                }
                TagHalf {
                    id: rightHalf
                    rowItem: row
                    side: 2
                    fieldWidth: 170
                    onChangeSwitch: (name, on) => mainWindow.changeSwitch(name, on)
                    onChangeText: (name, value) => mainWindow.changeText(name, value)
                    onPickDate: (name, shown) => datePicker.activate(name, mainWindow.fieldDate(shown))
                    onKeepDate: value => listModel.setProperty(row.index, "text_2", value)
                }
                Item {
                    Layout.fillWidth: true
                }
            }
        }
    }

    DropArea {
        id: dropArea
        objectName: "dropArea"
        anchors.fill: parent
        // Always a copy: a source told "move" could delete what was dropped.
        onEntered: function (drag) {
            drag.accept(Qt.CopyAction)
            dragPanel.color = Theme.dragOver
        }
        onExited: dragPanel.color = Theme.ground
        onDropped: function (drop) {
            mainWindow.openFolders(mainWindow.dropText(drop))
            dragPanel.color = Theme.ground
            drop.accept(Qt.CopyAction)
        }
    }

    FolderDialog {
        id: folderDialog
        objectName: "folderDialog"
        currentFolder: folderStore.lastFolder !== "" ? folderStore.lastFolder
                : Platform.StandardPaths.writableLocation(Platform.StandardPaths.HomeLocation)
        // Where nothing inside the shown folder is selected, "Open" takes the shown folder.
        onCurrentFolderChanged: {
            if (String(folderDialog.selectedFolder) === "")
                folderDialog.selectedFolder = folderDialog.currentFolder
        }
        onAccepted: {
            var folder = String(folderDialog.chosenFolder())
            folderStore.lastFolder = folder
            mainWindow.openFolders(folder)
        }

        // The folder that runs. Qt's own (non-native) dialog selects the first subfolder of
        // every folder it shows, unseen, and a click on a folder enters it: there the folder
        // the user opened, the one shown, is meant. A platform dialog selects only what the
        // user picks.
        function chosenFolder() {
            return folderDialog.qtDialog ? folderDialog.currentFolder : folderDialog.selectedFolder
        }

        // Looked at while the dialog shows: a closed popup leaves the overlay.
        property bool qtDialog: false
        onVisibleChanged: {
            if (folderDialog.visible)
                Qt.callLater(function () {
                    folderDialog.qtDialog = mainWindow.isQtFolderDialog(mainWindow.contentItem)
                })
        }
    }

    Settings {
        id: folderStore
        category: "folderDialog"
        property string lastFolder: ""
    }

    // Qt's own folder dialog lives as a popup in the window's overlay (a child of its content
    // item), its list named so.
    function isQtFolderDialog(item) {
        if (!item)
            return false
        if (item.objectName === "folderDialogListView")
            return true
        for (var i = 0; i < item.children.length; ++i) {
            if (isQtFolderDialog(item.children[i]))
                return true
        }
        return false
    }

    ReportView {
        id: reportView
        objectName: "reportView"
        transientParent: mainWindow
    }

    SettingsPanel {
        id: settingsPanel
        objectName: "settingsPanel"
        transientParent: mainWindow
        onSubmit: function (text) {
            Handler.receiveFromQml("settings:submit", text)
        }
    }

    UpdatePanel {
        id: updatePanel
        objectName: "updatePanel"
        transientParent: mainWindow
    }

    DatePicker {
        id: datePicker
        objectName: "datePicker"

        property string mode: ""

        // Opens on the day the field stands for.
        function activate(name, date) {
            datePicker.mode = name
            datePicker.set(date)
            datePicker.open()
        }

        parent: T.Overlay.overlay
        onClicked: function (date) {
            mainWindow.chooseDate(datePicker.mode, datePicker.set_date)
        }
        Component.onCompleted: datePicker.set(new Date())
    }
}
