import QtQuick
import QtTest
import "qrc:/qml/Tools/"

Item {
    id: root
    width: 400
    height: 400

    Component {
        id: pickerComponent
        DatePicker { }
    }

    Component {
        id: spyComponent
        SignalSpy { }
    }

    TestCase {
        name: "DatePicker"
        when: windowShown

        property var picker: null
        property var clicks: null

        function init() {
            picker = createTemporaryObject(pickerComponent, root)
            clicks = createTemporaryObject(spyComponent, root, { "target": picker, "signalName": "clicked" })
            picker.open()
            tryVerify(function () { return picker.opened })
        }

        function pageItem() {
            var view = findChild(picker.contentItem, "monthView")
            return view.itemAtIndex(view.currentIndex)
        }

        function cell(k) {
            return findChild(pageItem(), "cell" + k)
        }

        function shownDays() {
            var days = []
            for (var k = 7; k < 49; ++k)
                days.push(cell(k).inMonth ? cell(k).date : 0)
            return days
        }

        function test_grid_data() {
            return [
                { tag: "March 2021 starts on a Monday", year: 2021, month: 2, firstCell: 7, days: 31 },
                { tag: "August 2021 starts on a Sunday", year: 2021, month: 7, firstCell: 13, days: 31 },
                { tag: "leap February 2024", year: 2024, month: 1, firstCell: 10, days: 29 },
                { tag: "February 2023", year: 2023, month: 1, firstCell: 9, days: 28 },
                { tag: "February 2000 is leap", year: 2000, month: 1, firstCell: 8, days: 29 },
                { tag: "February 1900 is not", year: 1900, month: 1, firstCell: 10, days: 28 }
            ]
        }

        function test_grid(data) {
            picker.set(new Date(data.year, data.month, 15))
            compare(picker.currentPage, data.year * 12 + data.month)
            var days = shownDays()
            for (var i = 0; i < days.length; ++i) {
                var k = i + 7
                var expected = (k >= data.firstCell && k < data.firstCell + data.days) ? k - data.firstCell + 1 : 0
                compare(days[i], expected, "cell " + k)
            }
            compare(findChild(pageItem(), "yearTitle").text, " " + data.year)
            compare(findChild(pageItem(), "monthTitle").text, picker.monthsList[data.month])
        }

        function test_dayClickReportsTheDay() {
            picker.set(new Date(2021, 2, 20))
            mouseClick(cell(11)) // Friday 5 March 2021
            compare(clicks.count, 1)
            var chosen = clicks.signalArguments[0][0]
            compare(chosen.getFullYear(), 2021)
            compare(chosen.getMonth(), 2)
            compare(chosen.getDate(), 5)
            compare(chosen.getHours(), 0)
            compare(picker.selectedDate.getDate(), 5)
            compare(picker.set_date.getDate(), 5)
        }

        function test_blankAndHeaderCellsAreNotClickable_data() {
            return [
                { tag: "after the last day of leap February", cell: 39 },
                { tag: "end of the grid", cell: 48 },
                { tag: "before the first day", cell: 7 },
                { tag: "weekday label", cell: 2 }
            ]
        }

        function test_blankAndHeaderCellsAreNotClickable(data) {
            picker.set(new Date(2024, 1, 10))
            verify(cell(38).inMonth && cell(38).date === 29)
            verify(!cell(data.cell).inMonth)
            mouseClick(cell(data.cell))
            compare(clicks.count, 0)
            compare(picker.selectedDate.getDate(), 10)
        }

        // The menus start from the selected day, not from the page in view.
        function test_yearMenuActsOnTheSelectedDay() {
            picker.set(new Date(2021, 2, 5))
            picker.showPage(2023 * 12 + 6)
            compare(picker.currentPage, 2023 * 12 + 6)
            mouseClick(findChild(pageItem(), "yearTitle"))
            var menu = findChild(picker.contentItem, "yearMenu")
            tryVerify(function () { return menu.opened })
            var list = findChild(menu.contentItem, "yearList")
            list.positionViewAtIndex(110, ListView.Center)
            mouseClick(findChild(list, "year" + (2010 - 1900)))
            tryVerify(function () { return !menu.visible })
            compare(picker.currentPage, 2010 * 12 + 2)
            compare(picker.selectedDate.getFullYear(), 2010)
            compare(picker.selectedDate.getMonth(), 2)
            compare(picker.selectedDate.getDate(), 1)
            compare(clicks.count, 0)
        }

        function test_monthMenuKeepsTheSelectedYear() {
            picker.set(new Date(2021, 2, 5))
            picker.showPage(2023 * 12 + 6)
            mouseClick(findChild(pageItem(), "monthTitle"))
            var menu = findChild(picker.contentItem, "monthMenu")
            tryVerify(function () { return menu.opened })
            var list = findChild(menu.contentItem, "monthList")
            list.positionViewAtIndex(10, ListView.Center)
            mouseClick(findChild(list, "month10"))
            tryVerify(function () { return !menu.visible })
            compare(picker.currentPage, 2021 * 12 + 10)
            compare(picker.selectedDate.getFullYear(), 2021)
            compare(picker.selectedDate.getMonth(), 10)
            compare(picker.selectedDate.getDate(), 1)
            compare(clicks.count, 0)
        }

        // Years below 100 are not taken for 19xx.
        function test_earlyYears() {
            var d = picker.dateOf(50, 2, 1)
            d.setDate(5)
            picker.set(d)
            compare(picker.currentPage, 50 * 12 + 2)
            compare(findChild(pageItem(), "yearTitle").text, " 50")
        }

        function test_escapeClosesWithoutChoice() {
            picker.set(new Date(2021, 2, 5))
            keyClick(Qt.Key_Escape)
            tryVerify(function () { return !picker.visible })
            compare(clicks.count, 0)
            compare(picker.selectedDate.getDate(), 5)
        }
    }
}
