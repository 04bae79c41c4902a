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

    SignalSpy {
        id: clicks
        signalName: "clicked"
    }

    TestCase {
        name: "DatePicker"
        when: windowShown

        property var picker: null

        function init() {
            picker = createTemporaryObject(pickerComponent, root)
            clicks.clear()
            clicks.target = picker
            picker.open()
            tryVerify(function () { return picker.opened })
        }

        function page() {
            var view = findChild(picker.contentItem, "monthView")
            return view.itemAtIndex(view.currentIndex)
        }

        function cell(k) {
            return findChild(page(), "cell" + k)
        }

        // firstCell: the cell of the 1st; cells 0 to 6 are the weekday labels, 7 the first Monday.
        function test_month_data() {
            return [
                { tag: "March 2021 starts on a Monday", year: 2021, month: 2, firstCell: 7, days: 31 },
                { tag: "August 2021 starts on a Sunday", year: 2021, month: 7, firstCell: 13, days: 31 },
                { tag: "leap February 2024", year: 2024, month: 1, firstCell: 10, days: 29 },
                { tag: "February 2023", year: 2023, month: 1, firstCell: 9, days: 28 },
                { tag: "February 2000 is leap", year: 2000, month: 1, firstCell: 8, days: 29 },
                { tag: "February 1900 is not", year: 1900, month: 1, firstCell: 10, days: 28 },
                { tag: "year 50 is not 1950", year: 50, month: 2, firstCell: 8, days: 31 }
            ]
        }

        // The page shows the month's days in their columns; a weekday label and a blank cell
        // do not react, a day reports itself at midnight.
        function test_month(data) {
            picker.set(picker.dateOf(data.year, data.month, 15))
            compare(picker.currentPage, data.year * 12 + data.month)
            compare(findChild(page(), "yearTitle").text, " " + data.year)
            compare(findChild(page(), "monthTitle").text, picker.monthsList[data.month])
            for (var k = 7; k < 49; ++k) {
                var inMonth = k >= data.firstCell && k < data.firstCell + data.days
                compare(cell(k).inMonth ? cell(k).date : 0, inMonth ? k - data.firstCell + 1 : 0, "cell " + k)
            }
            mouseClick(cell(2))
            mouseClick(cell(data.firstCell + data.days))
            compare(clicks.count, 0)
            compare(picker.selectedDate.getDate(), 15)
            mouseClick(cell(data.firstCell))
            compare(clicks.count, 1)
            var chosen = clicks.signalArguments[0][0]
            compare([chosen.getFullYear(), chosen.getMonth(), chosen.getDate(), chosen.getHours()],
                    [data.year, data.month, 1, 0])
            compare(picker.set_date.getTime(), chosen.getTime())
        }

        // The menus start from the selected day, not from the page in view, and report
        // nothing. Escape closes a menu, or with no menu open the picker, without a change.
        // menu: "year", "month" or "" for none; index: the entry clicked, or -1 for Escape.
        function test_menus_data() {
            return [
                { tag: "year 2010", menu: "year", index: 2010 - 1900, page: 2010 * 12 + 2, selected: [2010, 2, 1] },
                { tag: "November", menu: "month", index: 10, page: 2021 * 12 + 10, selected: [2021, 10, 1] },
                { tag: "year menu, Escape", menu: "year", index: -1, page: 2023 * 12 + 6, selected: [2021, 2, 5] },
                { tag: "month menu, Escape", menu: "month", index: -1, page: 2023 * 12 + 6, selected: [2021, 2, 5] },
                { tag: "picker, Escape", menu: "", index: -1, page: 2023 * 12 + 6, selected: [2021, 2, 5] }
            ]
        }

        function test_menus(data) {
            picker.set(new Date(2021, 2, 5))
            picker.showPage(2023 * 12 + 6)
            var popup = picker
            if (data.menu !== "") {
                mouseClick(findChild(page(), data.menu + "Title"))
                popup = findChild(picker.contentItem, data.menu + "Menu")
                tryVerify(function () { return popup.opened })
            }
            if (data.index < 0) {
                keyClick(Qt.Key_Escape)
            } else {
                var list = findChild(popup.contentItem, data.menu + "List")
                list.positionViewAtIndex(data.index, ListView.Center)
                mouseClick(findChild(list, data.menu + data.index))
            }
            tryVerify(function () { return !popup.visible })
            compare(picker.visible, data.menu !== "")
            compare(picker.currentPage, data.page)
            var d = picker.selectedDate
            compare([d.getFullYear(), d.getMonth(), d.getDate()], data.selected)
            compare(clicks.count, 0)
        }
    }
}
