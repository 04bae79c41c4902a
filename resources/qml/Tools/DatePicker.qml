import QtQuick
import QtQuick.Controls.Basic

// A month calendar in a small modal popup: a Monday-first grid of days, one page per month
// from January of year 0 to December of year 2999. Swiping moves between months; the month
// name and the year open pick lists that jump from the selected day. Only a click on a day
// reports a choice, through clicked(date).
Popup {
    id: picker

    property date selectedDate: new Date()
    property alias set_date: picker.selectedDate
    readonly property var monthsList: [qsTr("January"), qsTr("February"), qsTr("March"),
        qsTr("April"), qsTr("May"), qsTr("June"), qsTr("July"), qsTr("August"),
        qsTr("September"), qsTr("October"), qsTr("November"), qsTr("December")]
    readonly property int pageCount: 3000 * 12
    // The page standing in the view, for whoever needs to know what is shown.
    readonly property int currentPage: monthView.currentIndex
    readonly property var weekDays: ["Mo", "Tu", "We", "Th", "Fr", "Sa", "Su"]
    // The year menu's entries.
    readonly property var yearsList: {
        var years = []
        for (var year = 1900; year < 2100; ++year)
            years.push(year)
        return years
    }

    signal clicked(date date)

    // The Date constructor maps the years 0 to 99 onto 1900 to 1999; setFullYear does not.
    function dateOf(year, month, day) {
        var d = new Date(2000, 0, 1)
        d.setFullYear(year, month, day)
        d.setHours(0, 0, 0, 0)
        return d
    }

    // Monday-based column (0 Monday ... 6 Sunday) of the month's first day, which is the
    // Sunday-based weekday of the previous month's last day.
    function firstColumn(year, month) {
        return dateOf(year, month, 0).getDay()
    }

    function daysInMonth(year, month) {
        return dateOf(year, month + 1, 0).getDate()
    }

    function showPage(page) {
        var p = Math.max(0, Math.min(picker.pageCount - 1, page))
        monthView.currentIndex = p
        monthView.positionViewAtIndex(p, ListView.Center)
    }

    function set(date) {
        picker.selectedDate = new Date(date.getTime())
        picker.showPage(picker.selectedDate.getFullYear() * 12 + picker.selectedDate.getMonth())
    }

    function chooseDay(year, month, day) {
        picker.selectedDate = picker.dateOf(year, month, day)
        picker.clicked(picker.selectedDate)
    }

    function chooseYear(year) {
        var month = picker.selectedDate.getMonth()
        picker.showPage(year * 12 + month)
        picker.selectedDate = picker.dateOf(year, month, 1)
    }

    function chooseMonth(month) {
        var year = picker.selectedDate.getFullYear()
        picker.showPage(year * 12 + month)
        picker.selectedDate = picker.dateOf(year, month, 1)
    }

    function sameDay(a, b) {
        return a.getFullYear() === b.getFullYear() && a.getMonth() === b.getMonth()
                && a.getDate() === b.getDate()
    }

    width: 190
    height: 190
    padding: 5
    modal: true
    // Escape reaches a popup only while it holds the focus.
    focus: true
    anchors.centerIn: parent
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside

    background: Rectangle {
        color: Theme.paper
        border.color: Theme.ink
        radius: Theme.windowRadius
    }

    // A menu of the title: a list of entries, the hovered one muted; a click reports the
    // entry's index through chosen() and closes the menu. The list's objectName is entryName
    // followed by "List", an entry's entryName followed by its index ("month10").
    component PickList: Popup {
        id: menu

        property alias model: list.model
        property int entryWidth: 0
        property string entryName: ""
        // The entry shown in the middle when the menu opens; -1 keeps the list where it was.
        property int openAt: -1

        signal chosen(int index)

        height: 200
        padding: 0
        focus: true
        anchors.centerIn: parent
        clip: true
        closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
        onOpened: {
            if (menu.openAt >= 0)
                list.positionViewAtIndex(menu.openAt, ListView.Center)
        }
        background: Rectangle {
            color: Theme.paper
            border.color: Theme.neutral
            radius: Theme.radius
        }

        ListView {
            id: list
            objectName: menu.entryName + "List"
            anchors.fill: parent
            clip: true
            delegate: Rectangle {
                id: entry
                required property int index
                required property var modelData
                objectName: menu.entryName + entry.index
                width: menu.entryWidth
                height: 25
                x: (list.width - width) / 2
                color: hover.containsMouse ? Theme.muted : Theme.paper
                Text {
                    anchors.centerIn: parent
                    text: entry.modelData
                }
                MouseArea {
                    id: hover
                    anchors.fill: parent
                    hoverEnabled: true
                    onClicked: {
                        menu.chosen(entry.index)
                        menu.close()
                    }
                }
            }
        }
    }

    contentItem: Item {
        ListView {
            id: monthView
            objectName: "monthView"
            x: 0
            y: 0
            width: 180
            height: 180
            clip: true
            orientation: ListView.Horizontal
            snapMode: ListView.SnapOneItem
            highlightRangeMode: ListView.StrictlyEnforceRange
            preferredHighlightBegin: 0
            preferredHighlightEnd: width
            highlightMoveDuration: 0
            boundsBehavior: Flickable.StopAtBounds
            model: picker.pageCount

            delegate: Item {
                id: page

                required property int index
                readonly property int year: Math.floor(page.index / 12)
                readonly property int month: page.index % 12
                readonly property int firstColumn: picker.firstColumn(page.year, page.month)
                readonly property int dayCount: picker.daysInMonth(page.year, page.month)
                readonly property real cellWidth: monthView.width / 7
                readonly property real cellHeight: grid.height / 7
                readonly property real cellRadius: monthView.height * 0.02

                width: monthView.width
                height: monthView.height

                Item {
                    id: title
                    width: parent.width
                    height: monthView.height - grid.height

                    Row {
                        anchors.centerIn: parent

                        Text {
                            objectName: "monthTitle"
                            text: picker.monthsList[page.month]
                            font.pixelSize: page.cellHeight / 2
                            MouseArea {
                                anchors.fill: parent
                                cursorShape: Qt.PointingHandCursor
                                onClicked: monthMenu.open()
                            }
                        }
                        Text {
                            objectName: "yearTitle"
                            text: " " + page.year
                            font.pixelSize: page.cellHeight / 2
                            MouseArea {
                                anchors.fill: parent
                                cursorShape: Qt.PointingHandCursor
                                onClicked: yearMenu.open()
                            }
                        }
                    }
                }

                Grid {
                    id: grid
                    y: title.height
                    width: parent.width
                    height: monthView.height * 0.875
                    columns: 7
                    rows: 7

                    Repeater {
                        model: 49

                        Rectangle {
                            id: cell

                            required property int index
                            readonly property bool header: cell.index < 7
                            readonly property int day: cell.index - 7
                            readonly property int date: cell.day - page.firstColumn + 1
                            readonly property bool inMonth: !cell.header && cell.date >= 1
                                                            && cell.date <= page.dayCount
                            readonly property var cellDate: cell.inMonth
                                ? picker.dateOf(page.year, page.month, cell.date) : null
                            readonly property bool selected: cell.inMonth
                                && picker.sameDay(cell.cellDate, picker.selectedDate)

                            objectName: "cell" + cell.index
                            width: page.cellWidth
                            height: page.cellHeight
                            color: Theme.paper
                            radius: page.cellRadius
                            border.width: page.cellRadius * 0.3
                            border.color: cell.selected ? Theme.ink : "transparent"
                            opacity: cellMouse.pressed ? 0.3 : 1

                            Text {
                                anchors.centerIn: parent
                                visible: cell.header
                                text: cell.header ? picker.weekDays[cell.index] : ""
                                font.pixelSize: page.cellHeight / 2
                            }

                            Text {
                                anchors.centerIn: parent
                                visible: cell.inMonth
                                text: cell.inMonth ? cell.date : ""
                                font.pixelSize: page.cellHeight / 2
                                font.bold: cell.inMonth && picker.sameDay(cell.cellDate, new Date())
                                opacity: cell.inMonth && cell.cellDate.getTime() > Date.now() ? 0.5 : 1
                            }

                            MouseArea {
                                id: cellMouse
                                anchors.fill: parent
                                enabled: cell.inMonth
                                onClicked: picker.chooseDay(page.year, page.month, cell.date)
                            }
                        }
                    }
                }
            }
        }

        PickList {
            id: yearMenu
            objectName: "yearMenu"
            width: 60
            entryWidth: 45
            entryName: "year"
            model: picker.yearsList
            openAt: picker.yearsList.indexOf(2020)
            onChosen: function (index) { picker.chooseYear(picker.yearsList[index]) }
        }

        PickList {
            id: monthMenu
            objectName: "monthMenu"
            width: 100
            entryWidth: 90
            entryName: "month"
            model: picker.monthsList
            onChosen: function (index) { picker.chooseMonth(index) }
        }
    }
}
