import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Window
import Qt.labs.settings

// Tells the user that a newer version can be downloaded, or that the running one is no
// longer supported. An optional update can be skipped for good, version by version; a
// forced one leaves only the download page and the way out of the program.
Window {
    id: updatePanel

    // The product's download page, opened in the system's browser; its owner sets it from the
    // build's configuration. Only an HTTPS page is ever opened.
    property string downloadPage: ""

    property string current_version: ""
    property string new_version: ""
    property bool forcedUpdate: false
    property var versionSkipList: []
    property int skipCount: 0

    // Rank of a "major.minor.patch" text: major * 10000 + minor * 100 + patch. A text with
    // fewer than three parts, or a part that does not start with a digit, has no rank (NaN),
    // and every comparison with it is false.
    function versionToInt(version) {
        var parts = String(version).split(".")
        if (parts.length < 3)
            return NaN
        var numbers = []
        for (var i = 0; i < 3; ++i) {
            var digits = /^[0-9]+/.exec(parts[i])
            if (!digits)
                return NaN
            numbers.push(parseInt(digits[0], 10))
        }
        return numbers[0] * 10000 + numbers[1] * 100 + numbers[2]
    }

    function isSkipped(version) {
        for (var i = 0; i < updatePanel.versionSkipList.length; ++i) {
            if (updatePanel.versionSkipList[i] === version)
                return true
        }
        return false
    }

    function activate(localVersion, serverVersion, supportedVersion) {
        updatePanel.current_version = localVersion
        updatePanel.forcedUpdate = updatePanel.versionToInt(supportedVersion)
                > updatePanel.versionToInt(localVersion)
        if (updatePanel.forcedUpdate) {
            messageField.text = qsTr("Your version (%1) is no supported.\nPlease download the new version.")
                    .arg(localVersion)
            updatePanel.show()
        } else if (!updatePanel.isSkipped(serverVersion)) {
            updatePanel.new_version = serverVersion
            if (updatePanel.versionToInt(serverVersion) > updatePanel.versionToInt(localVersion)) {
                messageField.text = qsTr("New version (%1) is now avalaible.")
                        .arg(updatePanel.new_version)
                updatePanel.show()
                updatePanel.raise()
            }
        }
        return updatePanel.forcedUpdate
    }

    function openDownloadPage() {
        if (updatePanel.downloadPage.indexOf("https://") === 0)
            Qt.openUrlExternally(updatePanel.downloadPage)
    }

    function skipVersion() {
        updatePanel.versionSkipList = updatePanel.versionSkipList.concat([updatePanel.new_version])
        updatePanel.skipCount = updatePanel.skipCount + 1
        store.versionSkipList = updatePanel.versionSkipList.slice()
        store.skipCount = updatePanel.skipCount
        updatePanel.close()
    }

    // Depending on the store's format, a one-entry list may come back as a plain text and an
    // empty one as nothing at all: both are read as lists of texts, so that a skipped version
    // is always matched whole, never as a piece of a longer text.
    function readSkipList(stored) {
        var list = []
        if (typeof stored === "string") {
            if (stored !== "")
                list.push(stored)
        } else if (stored && stored.length !== undefined) {
            for (var i = 0; i < stored.length; ++i)
                list.push(String(stored[i]))
        }
        return list
    }

    function reload() {
        updatePanel.versionSkipList = updatePanel.readSkipList(store.versionSkipList)
        var count = parseInt(store.skipCount, 10)
        updatePanel.skipCount = isNaN(count) ? 0 : count
    }

    title: qsTr("Update notification")
    minimumWidth: 420
    maximumWidth: minimumWidth
    minimumHeight: 140
    maximumHeight: minimumHeight
    width: minimumWidth
    height: minimumHeight
    visible: false
    modality: Qt.ApplicationModal
    flags: Qt.WindowCloseButtonHint | Qt.CustomizeWindowHint | Qt.Dialog | Qt.WindowTitleHint
    color: Theme.ground

    Component.onCompleted: {
        updatePanel.x = Screen.width / 2 - updatePanel.minimumWidth / 2
        updatePanel.y = Screen.height / 2 - updatePanel.minimumHeight / 2
        updatePanel.reload()
    }

    onClosing: {
        if (updatePanel.forcedUpdate)
            Qt.quit()
    }

    // Acts when the mouse button goes down on it.
    component NoticeButton: StyleButton {
        Layout.preferredWidth: 150
        Layout.preferredHeight: 40
        colorBackground: Theme.accent
        colorHovered: Theme.accent
    }

    // Written through properties: the store converts a script list into a list of texts
    // only on that way in (setValue would store an unreadable script value).
    Settings {
        id: store
        category: "general"
        property var versionSkipList: []
        property int skipCount: 0
    }

    Rectangle {
        anchors.fill: parent
        radius: Theme.windowRadius
        color: Theme.ground

        Column {
            anchors.fill: parent
            anchors.topMargin: Theme.margin
            spacing: Theme.margin

            StyleText {
                id: messageField
                objectName: "messageField"
                width: parent.width
                color: Theme.text
                lineHeight: Theme.lineHeight
            }

            RowLayout {
                width: parent.width - 100
                x: 50

                NoticeButton {
                    objectName: "downloadButton"
                    text: qsTr("Download")
                    onPressed: updatePanel.openDownloadPage()
                }
                Item {
                    Layout.fillWidth: true
                }
                NoticeButton {
                    objectName: "skipButton"
                    text: qsTr("Skip this version")
                    visible: !updatePanel.forcedUpdate
                    onPressed: updatePanel.skipVersion()
                }
                NoticeButton {
                    objectName: "quitButton"
                    text: qsTr("Quit")
                    visible: updatePanel.forcedUpdate
                    onPressed: Qt.quit()
                }
            }

            StyleText {
                objectName: "versionLine"
                width: parent.width - Theme.margin
                x: Theme.margin
                color: Theme.text
                lineHeight: Theme.lineHeight
                text: "Vexar Anonymizer %1".arg(updatePanel.current_version)
            }
        }
    }
}
