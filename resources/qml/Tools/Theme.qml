pragma Singleton
import QtQuick

// The program's look in one place: its palette, font and the sizes several windows share.
// Every window and control reads them from here; no colour is written anywhere else.
QtObject {
    readonly property color ground: "#151A30"         // window grounds, the idle drop panel
    readonly property color controlGround: "#1A2138"  // buttons, a hovered icon, tool tips
    readonly property color fieldGround: "#222B45"    // profile fields, tool-tip borders
    readonly property color accent: "#1C5271"         // the main window, a hovered button
    readonly property color muted: "#8F9BB3"          // quiet text, a hovered menu entry
    readonly property color highlight: "#E37333"      // a switch's knob, warnings
    readonly property color text: "white"
    readonly property color neutral: "gray"           // off, disabled, placeholders, no state yet
    readonly property color paper: "white"            // the date picker's ground
    readonly property color ink: "black"              // and its lines

    // The drop panel while something is dragged over the window, and while a job runs.
    readonly property color dragOver: "#74DF08"
    readonly property color busy: "#FFC133"
    // Text on the busy panel: the window ground, 10.6:1 against it (white would be 1.6:1).
    readonly property color textOnBusy: "#151A30"

    // The tag rows: a tag's field and the track of its switch.
    readonly property color tagField: "#266884"
    readonly property color tagFieldLine: "#A5A5A5"   // border and placeholder
    readonly property color switchTrack: "#CFC8BD"    // when on
    readonly property color switchLight: "#cccccc"    // track border when on, knob when off

    // The settings window's dot for the connection to the service (no state yet: neutral).
    readonly property color connected: "green"
    readonly property color connecting: "orange"
    readonly property color connectionFailed: "red"

    readonly property string fontFamily: "Helvetica"
    readonly property string monoFamily: "monospace"  // reports, whose columns line up
    readonly property int fontSize: 14
    readonly property int radius: 2                   // controls, tool tips, menus
    readonly property int windowRadius: 5             // window grounds, the date picker
    readonly property int margin: 10
    readonly property int spacing: 5                  // between the parts of a tag row
    readonly property real lineHeight: 1.5            // version lines and notices
    // How long a hovered icon waits before its tip shows, and how long start() shows a tip.
    readonly property int tipTime: 1000
}
