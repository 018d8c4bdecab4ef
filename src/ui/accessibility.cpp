#include "accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QVariant>

namespace {

constexpr char notificationProperty[] = "zumzumNotification";

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
};

QAccessibleInterface *notificationFactory(const QString &, QObject *object)
{
    auto *widget = qobject_cast<QWidget *>(object);
    if (widget && Accessibility::isNotification(widget))
        return new NotificationAccessible(widget);
    return nullptr;
}

} // namespace

namespace Accessibility {

void installRoles()
{
    QAccessible::installFactory(notificationFactory);
}

void markAsNotification(QWidget *widget)
{
    widget->setProperty(notificationProperty, true);
}

bool isNotification(const QWidget *widget)
{
    return widget->property(notificationProperty).toBool();
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
