#pragma once

#include <QString>

class QAction;
class QWidget;

// What the window tells assistive technology beyond what the toolkit tells
// by itself.
namespace Accessibility {

// Names a menu bar item for assistive technology apart from its caption,
// whose padding blanks a screen reader would otherwise read out.
void nameMenuBarItem(QAction* action, const QString& name);

// Leaves the hidden children of `container` out of the accessibility tree:
// the toolkit lists them, marked invisible, and screen readers read them
// anyway.
void leaveHiddenChildrenOut(QWidget* container);

} // namespace Accessibility
