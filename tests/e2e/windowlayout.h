#pragma once

#include <QRect>

// Where the controls of the Velkaro window stand, from the layout it was drawn
// in: twips (15 to a pixel, rounded to the nearest), measured from the client
// area below the menu bar, or from the group box that holds the control.
namespace WindowLayout {

// The client area below the menu bar, in pixels.
inline constexpr int ClientWidth = 446;
inline constexpr int ClientHeight = 264;

enum class Control {
    Label3_0,  // port label
    Label3_1,  // speed label
    TextCMD13, // clock field
    CMD4,      // "Set PC"
    Command1,  // clock "Read from"
    CMD13,     // clock "Set into"
    Combo1,    // rate list
    Text3,     // on-time field
    VScroll1,  // on-time scroll bar
    Command6,  // schedule "Read from"
    CMDS34,    // schedule "Set into"
    LabelWait, // busy label
};

// The control's rectangle in client-area pixels.
QRect rect(Control control);

} // namespace WindowLayout
