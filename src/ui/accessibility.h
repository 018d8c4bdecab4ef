#pragma once

#include <QLabel>

class QWidget;

// Roles that Qt's widgets do not give themselves, for screen readers.
namespace Accessibility {

// Registers the factory that gives marked widgets the notification role. Qt asks the newest
// factory first, and QApplication installs the widgets' own: call this after QApplication exists.
void installRoles();
// A widget so marked is a notification to a screen reader: one that becomes showing is spoken
// wherever the focus is. Qt builds a widget's accessible object on its first change (a QLabel on
// its first text), so mark it before anything is set on it.
void markAsNotification(QWidget *widget);
bool isNotification(const QWidget *widget);

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
