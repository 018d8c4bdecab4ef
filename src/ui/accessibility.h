#pragma once

#include <QLabel>

class QAction;
class QWidget;

// Roles that Qt's widgets do not give themselves, for screen readers.
namespace Accessibility {

// Registers the factory that gives marked widgets the notification role, marked menu items a fixed
// name with their checked state, line edits their text interface and message boxes a name that
// holds their message, the filter that keeps a line edit's focus selection from being reported ahead
// of the focus, and the handler that drops text reports of widgets not shown. Qt asks the newest
// factory first, and QApplication installs the widgets' own: call this after QApplication exists.
void installRoles();
// A widget so marked is a notification to a screen reader: one that becomes showing is spoken
// wherever the focus is. Qt builds a widget's accessible object on its first change (a QLabel on
// its first text), so mark it before anything is set on it.
void markAsNotification(QWidget *widget);
bool isNotification(const QWidget *widget);
// A checkable item of a menu that a screen reader reads named name, whatever its caption, with
// its checked state, and is told each change of it.
void markAsCheckItem(QAction *action, const QString &name);
// The name given by markAsCheckItem; empty for an action not so marked.
QString checkItemName(const QAction *action);

} // namespace Accessibility

// Spoken, never seen: a label of no size whose text a screen reader announces each time it is
// set, without taking the focus.
class AnnouncementLabel : public QLabel
{
    Q_OBJECT

public:
    explicit AnnouncementLabel(QWidget *parent);

    void announce(const QString &text);
};
