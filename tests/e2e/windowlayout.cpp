#include "windowlayout.h"

namespace WindowLayout {

namespace {

struct Twips {
    int left;
    int top;
    int width;
    int height;
};

constexpr int pixels(int twips) {
    return (twips + 7) / 15;
}

// Group boxes: " Time " (Frame4) and "Slots" (Frame6).
constexpr Twips Window{0, 0, 6690, 3960};
constexpr Twips Frame4{120, 480, 6495, 1335};
constexpr Twips Frame6{120, 1920, 6495, 1455};

struct Placement {
    Twips container;
    Twips control;
};

constexpr Placement placementOf(Control control) {
    switch (control) {
    case Control::Label3_0:
        return {Window, {3270, 120, 1215, 300}};
    case Control::Label3_1:
        return {Window, {5340, 120, 1215, 300}};
    case Control::TextCMD13:
        return {Frame4, {600, 720, 1575, 285}};
    case Control::CMD4:
        return {Frame4, {3240, 360, 855, 855}};
    case Control::Command1:
        return {Frame4, {4440, 360, 855, 855}};
    case Control::CMD13:
        return {Frame4, {5400, 360, 855, 855}};
    case Control::Combo1:
        return {Frame6, {480, 720, 1455, 315}};
    case Control::Text3:
        return {Frame6, {2400, 720, 732, 345}};
    case Control::VScroll1:
        return {Frame6, {3480, 240, 252, 975}};
    case Control::Command6:
        return {Frame6, {4440, 360, 855, 855}};
    case Control::CMDS34:
        return {Frame6, {5400, 360, 855, 855}};
    case Control::LabelWait:
        return {Window, {120, 3480, 6495, 375}};
    }
    return {Window, Window};
}

} // namespace

QRect rect(Control control) {
    const Placement placement = placementOf(control);
    const Twips& box = placement.container;
    const Twips& own = placement.control;
    // The window and the toolkit place each in whole pixels, the group box in
    // the client area and the control in the group box.
    return QRect(pixels(box.left) + pixels(own.left), pixels(box.top) + pixels(own.top),
                 pixels(own.width), pixels(own.height));
}

} // namespace WindowLayout
