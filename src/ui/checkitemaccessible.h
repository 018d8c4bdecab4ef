#pragma once

#include <QAccessibleActionInterface>
#include <QAccessibleInterface>
#include <QPointer>

class QAction;
class QMenu;

// A checkable menu item as a screen reader reads it: under a name that stays whatever the caption
// says, with its checked state, and each change of it reported. Qt's own item is named by its
// caption ("No Top" while ticked) and tells its changes under that name, in Qt 6.8 as in 6.4.
// Neither Qt has a role that reaches AT-SPI as a check menu item. Qt 6.4 passes no checkable
// state, so an unticked item reads as a plain one ("Top"); Qt 6.8 passes it ("Top not checked").
class CheckItemAccessible : public QAccessibleInterface, public QAccessibleActionInterface
{
public:
    CheckItemAccessible(QMenu *menu, QAction *action);

    bool isValid() const override;
    QObject *object() const override;
    QWindow *window() const override;
    QAccessibleInterface *parent() const override;
    QAccessibleInterface *child(int index) const override;
    int childCount() const override;
    int indexOfChild(const QAccessibleInterface *child) const override;
    QAccessibleInterface *childAt(int x, int y) const override;
    QString text(QAccessible::Text t) const override;
    void setText(QAccessible::Text t, const QString &text) override;
    QRect rect() const override;
    QAccessible::Role role() const override;
    QAccessible::State state() const override;
    void *interface_cast(QAccessible::InterfaceType t) override;

    QStringList actionNames() const override;
    void doAction(const QString &actionName) override;
    QStringList keyBindingsForAction(const QString &actionName) const override;

private:
    QPointer<QMenu> m_menu;
    QPointer<QAction> m_action;
};
