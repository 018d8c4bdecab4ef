#include "accessibility.h"

#include "checkitemaccessible.h"
#include "lineeditaccessible.h"
#include "messageboxaccessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QVariant>

namespace {

constexpr char notificationProperty[] = "zumzumNotification";
constexpr char checkItemProperty[] = "zumzumCheckItemName";

class NotificationAccessible : public QAccessibleWidget
{
public:
    explicit NotificationAccessible(QWidget *widget) : QAccessibleWidget(widget, QAccessible::Notification) {}

    QString text(QAccessible::Text t) const override
    {
        // A label's name is its text; QAccessibleWidget alone would give it none.
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) {
            if (const auto *label = qobject_cast<const QLabel *>(widget()))
                return label->text();
        }
        return QAccessibleWidget::text(t);
    }

    // Its name says it all: the popup's caption inside it would be read after it as a label.
    int childCount() const override { return 0; }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
};

QMenu *menuOf(const QAction *action)
{
    for (QObject *shown : action->associatedObjects()) {
        if (auto *menu = qobject_cast<QMenu *>(shown))
            return menu;
    }
    return nullptr;
}

QAccessibleInterface *factory(const QString &, QObject *object)
{
    if (auto *action = qobject_cast<QAction *>(object)) {
        QMenu *menu = menuOf(action);
        if (menu && !Accessibility::checkItemName(action).isEmpty())
            return new CheckItemAccessible(menu, action);
        return nullptr;
    }
    auto *widget = qobject_cast<QWidget *>(object);
    if (widget && Accessibility::isNotification(widget))
        return new NotificationAccessible(widget);
    if (auto *edit = qobject_cast<QLineEdit *>(object))
        return new LineEditAccessible(edit);
    if (auto *box = qobject_cast<QMessageBox *>(object))
        return new MessageBoxAccessible(box);
    return nullptr;
}

bool isTextReport(QAccessible::Event type)
{
    switch (type) {
    case QAccessible::TextInserted:
    case QAccessible::TextRemoved:
    case QAccessible::TextUpdated:
    case QAccessible::TextCaretMoved:
    case QAccessible::TextSelectionChanged: return true;
    default: return false;
    }
}

// A dialog fills in its fields before it opens, and Qt reports each text as inserted. Orca 48
// handles the focus first and such a report after it: the inserted text is then the whole
// selection of the focused field, which Orca takes for text completed after the key that opened
// the dialog (S of the Option menu), and reads the value a second time. Nothing of a window that
// is not shown is on the screen, and its fields are read when they are shown: their text reports
// are dropped here, the rest go on to Qt's bridge. Installed with QAccessible::installUpdateHandler,
// a hook Qt marks internal (its test library uses it); it works alike in Qt 6.4 and 6.8.
void reportShownText(QAccessibleEvent *event)
{
    QObject *object = event->object();
    if (!object && event->accessibleInterface())
        object = event->accessibleInterface()->object();
    const auto *widget = qobject_cast<const QWidget *>(object);
    if (widget && !widget->isVisible() && isTextReport(event->type()))
        return;
    // Qt has applied it to the table before calling here; applied twice it would shift the
    // table's cells twice. The bridge has nothing to send for it.
    if (event->type() == QAccessible::TableModelChanged)
        return;
    // Qt's own way to the bridge, for which this handler stands in while installed.
    QAccessible::installUpdateHandler(nullptr);
    QAccessible::updateAccessibility(event);
    QAccessible::installUpdateHandler(reportShownText);
}

// Qt reports the selection a line edit makes when Tab enters it, and the one it drops when the
// focus leaves, before it reports the focus itself; a screen reader then reads the value of a
// field it has not entered yet, and says "unselected" about the one just left. The same changes
// are made here just before the line edit's own handler, without the reports: the field is read
// with its selection when the focus arrives, as it would be anyway. Qt 6.8 still reports them in
// that order; Orca 48 handles the focus first and copes, Orca 43 does not.
class QuietFocusSelection : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::FocusIn && type != QEvent::FocusOut)
            return false;
        auto *edit = qobject_cast<QLineEdit *>(watched);
        if (!edit || !QAccessible::isActive())
            return false;
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        const bool entering = type == QEvent::FocusIn &&
                              (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
                               reason == Qt::ShortcutFocusReason) &&
                              edit->inputMask().isEmpty() && !edit->hasSelectedText();
        const bool leaving = type == QEvent::FocusOut && reason != Qt::ActiveWindowFocusReason &&
                             reason != Qt::PopupFocusReason && edit->hasSelectedText();
        if (!entering && !leaving)
            return false;
        QObject *control = lineControl(edit);
        if (!control)
            return false;
        const QSignalBlocker quiet(control);
        if (entering)
            edit->selectAll();
        else
            edit->deselect();
        edit->update();
        return false;
    }

private:
    // The line edit's text engine, whose signals carry the reports.
    static QObject *lineControl(QLineEdit *edit)
    {
        for (QObject *child : edit->children()) {
            if (qstrcmp(child->metaObject()->className(), "QWidgetLineControl") == 0)
                return child;
        }
        return nullptr;
    }
};

} // namespace

namespace Accessibility {

void installRoles()
{
    QAccessible::installFactory(factory);
    QAccessible::installUpdateHandler(reportShownText);
    QCoreApplication *application = QCoreApplication::instance();
    application->installEventFilter(new QuietFocusSelection(application));
}

void markAsNotification(QWidget *widget)
{
    widget->setProperty(notificationProperty, true);
}

bool isNotification(const QWidget *widget)
{
    return widget->property(notificationProperty).toBool();
}

void markAsCheckItem(QAction *action, const QString &name)
{
    action->setProperty(checkItemProperty, name);
    action->setCheckable(true);
    QObject::connect(action, &QAction::toggled, action, [action] {
        QAccessible::State changed;
        changed.checked = true;
        QAccessibleStateChangeEvent event(action, changed);
        QAccessible::updateAccessibility(&event);
    });
}

QString checkItemName(const QAction *action)
{
    return action->property(checkItemProperty).toString();
}

} // namespace Accessibility

AnnouncementLabel::AnnouncementLabel(QWidget *parent) : QLabel(parent)
{
    Accessibility::markAsNotification(this);
    setObjectName(QStringLiteral("announcement"));
    // Peers' text: never markup.
    setTextFormat(Qt::PlainText);
    setGeometry(0, 0, 0, 0);
    hide();
}

void AnnouncementLabel::announce(const QString &text)
{
    // Becoming showing again is what a screen reader speaks.
    hide();
    setText(text);
    show();
}
