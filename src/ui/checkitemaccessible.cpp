#include "checkitemaccessible.h"

#include "accessibility.h"

#include <QAction>
#include <QMenu>
#include <QStyle>
#include <QWindow>

CheckItemAccessible::CheckItemAccessible(QMenu *menu, QAction *action) : m_menu(menu), m_action(action) {}

bool CheckItemAccessible::isValid() const
{
    return m_menu && m_action;
}

QObject *CheckItemAccessible::object() const
{
    return m_action;
}

QWindow *CheckItemAccessible::window() const
{
    return m_menu ? m_menu->window()->windowHandle() : nullptr;
}

QAccessibleInterface *CheckItemAccessible::parent() const
{
    return QAccessible::queryAccessibleInterface(m_menu);
}

QAccessibleInterface *CheckItemAccessible::child(int) const
{
    return nullptr;
}

int CheckItemAccessible::childCount() const
{
    return 0;
}

int CheckItemAccessible::indexOfChild(const QAccessibleInterface *) const
{
    return -1;
}

QAccessibleInterface *CheckItemAccessible::childAt(int, int) const
{
    return nullptr;
}

QString CheckItemAccessible::text(QAccessible::Text t) const
{
    if (t == QAccessible::Name)
        return Accessibility::checkItemName(m_action);
    if (t == QAccessible::Accelerator)
        return m_action->shortcut().toString(QKeySequence::NativeText);
    return QString();
}

void CheckItemAccessible::setText(QAccessible::Text, const QString &) {}

QRect CheckItemAccessible::rect() const
{
    const QRect inMenu = m_menu->actionGeometry(m_action);
    return inMenu.translated(m_menu->mapToGlobal(QPoint(0, 0)));
}

QAccessible::Role CheckItemAccessible::role() const
{
    // Not a check box: Qt's menu counts only menu items and separators among its children, and a
    // screen reader ignores an item its menu does not count. Qt 6.4 and 6.8 have no check menu item.
    return QAccessible::MenuItem;
}

QAccessible::State CheckItemAccessible::state() const
{
    QAccessible::State state;
    state.invisible = !m_menu->isVisible() || !m_action->isVisible();
    state.disabled = !m_action->isEnabled();
    state.focusable = true;
    state.focused = m_menu->activeAction() == m_action;
    state.hotTracked = m_menu->style()->styleHint(QStyle::SH_Menu_MouseTracking);
    state.checkable = true;
    state.checked = m_action->isChecked();
    return state;
}

void *CheckItemAccessible::interface_cast(QAccessible::InterfaceType t)
{
    return t == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface *>(this) : nullptr;
}

QStringList CheckItemAccessible::actionNames() const
{
    if (!m_action->isEnabled())
        return {};
    return {toggleAction(), pressAction()};
}

void CheckItemAccessible::doAction(const QString &actionName)
{
    if (m_action->isEnabled() && (actionName == toggleAction() || actionName == pressAction()))
        m_action->trigger();
}

QStringList CheckItemAccessible::keyBindingsForAction(const QString &) const
{
    return {};
}
