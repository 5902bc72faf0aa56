#include "app/accessibility.h"

#include <QAccessibleWidget>
#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QVariant>

namespace {

constexpr char MenuBarItemName[] = "velkaroAccessibleName";
constexpr char HiddenChildrenOut[] = "velkaroHiddenChildrenOut";

// A menu bar item as the toolkit presents it, but with a name of its own.
class NamedMenuBarItem : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    NamedMenuBarItem(QMenuBar* bar, QAction* action) : bar_(bar), action_(action) {}

    bool isValid() const override { return bar_ && action_; }
    QObject* object() const override { return action_; }
    QWindow* window() const override { return bar_->window()->windowHandle(); }
    QAccessibleInterface* parent() const override {
        return QAccessible::queryAccessibleInterface(bar_);
    }
    QAccessibleInterface* child(int index) const override {
        return index == 0 && action_->menu()
                   ? QAccessible::queryAccessibleInterface(action_->menu())
                   : nullptr;
    }
    int childCount() const override { return action_->menu() ? 1 : 0; }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child && action_->menu() && child->object() == action_->menu() ? 0 : -1;
    }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Name ? action_->property(MenuBarItemName).toString() : QString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        const QRect item = bar_->actionGeometry(action_);
        return QRect(bar_->mapToGlobal(item.topLeft()), item.size());
    }
    QAccessible::Role role() const override { return QAccessible::MenuItem; }
    QAccessible::State state() const override {
        QAccessible::State state;
        state.focusable = true;
        state.focused = bar_->activeAction() == action_;
        state.disabled = !action_->isEnabled();
        state.invisible = !action_->isVisible();
        state.hasPopup = action_->menu() != nullptr;
        return state;
    }
    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                    : nullptr;
    }

    QStringList actionNames() const override {
        return {action_->menu() ? showMenuAction() : pressAction()};
    }
    void doAction(const QString& name) override {
        if (!action_->isEnabled())
            return;
        if (name == pressAction() && !action_->menu())
            action_->trigger();
        else if (name == showMenuAction() && action_->menu())
            bar_->setActiveAction(action_);
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QPointer<QMenuBar> bar_;
    QPointer<QAction> action_;
};

// A container whose hidden children are not in the tree.
class ShownChildrenOnly : public QAccessibleWidget {
public:
    using QAccessibleWidget::QAccessibleWidget;

    int childCount() const override { return static_cast<int>(shown().size()); }
    QAccessibleInterface* child(int index) const override {
        const QList<QWidget*> children = shown();
        return index >= 0 && index < children.size()
                   ? QAccessible::queryAccessibleInterface(children.at(index))
                   : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child ? static_cast<int>(shown().indexOf(qobject_cast<QWidget*>(child->object())))
                     : -1;
    }

private:
    QList<QWidget*> shown() const {
        QList<QWidget*> children;
        for (QObject* object : widget()->children()) {
            auto* child = qobject_cast<QWidget*>(object);
            if (child && !child->isWindow() && !child->isHidden())
                children.append(child);
        }
        return children;
    }
};

QAccessibleInterface* factory(const QString& className, QObject* object) {
    if (className == QLatin1String("QAction") && object->property(MenuBarItemName).isValid()) {
        auto* action = static_cast<QAction*>(object);
        for (QObject* owner : action->associatedObjects()) {
            if (auto* bar = qobject_cast<QMenuBar*>(owner))
                return new NamedMenuBarItem(bar, action);
        }
    }
    if (className == QLatin1String("QWidget") && object->property(HiddenChildrenOut).toBool())
        return new ShownChildrenOnly(static_cast<QWidget*>(object));
    return nullptr;
}

void installFactoryOnce() {
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    static_cast<void>(installed);
}

} // namespace

namespace Accessibility {

void nameMenuBarItem(QAction* action, const QString& name) {
    installFactoryOnce();
    action->setProperty(MenuBarItemName, name);
}

void leaveHiddenChildrenOut(QWidget* container) {
    installFactoryOnce();
    container->setProperty(HiddenChildrenOut, true);
}

} // namespace Accessibility
