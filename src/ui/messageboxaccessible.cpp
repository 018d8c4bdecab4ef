#include "messageboxaccessible.h"

#include <QMessageBox>
#include <QTextDocumentFragment>

MessageBoxAccessible::MessageBoxAccessible(QMessageBox *box)
    : QAccessibleWidget(box, QAccessible::AlertMessage)
{
}

QMessageBox *MessageBoxAccessible::messageBox() const
{
    return static_cast<QMessageBox *>(widget());
}

// The message as it is read: a box shown as rich text without its markup.
QString MessageBoxAccessible::message() const
{
    const QString text = messageBox()->text();
    const Qt::TextFormat format = messageBox()->textFormat();
    if (format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(text)))
        return QTextDocumentFragment::fromHtml(text).toPlainText();
    return text;
}

QString MessageBoxAccessible::text(QAccessible::Text t) const
{
    const QString message = this->message();
    const QString more = messageBox()->informativeText();
    switch (t) {
    case QAccessible::Name: {
        // A box without a title is named by its message, as Qt's own does.
        const QString name = QAccessibleWidget::text(t);
        return name.isEmpty() ? message : name;
    }
    case QAccessible::Value: return message;
    case QAccessible::Help: return more;
    case QAccessible::Description: {
        const QString own = QAccessibleWidget::text(t);
        if (!own.isEmpty())
            return own;
        return more.isEmpty() ? message : message + QLatin1Char('\n') + more;
    }
    default: return QAccessibleWidget::text(t);
    }
}
