#include "messageboxaccessible.h"

#include <QMessageBox>
#include <QTextDocumentFragment>

namespace {

QString plain(const QString &text, Qt::TextFormat format)
{
    if (format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(text)))
        return QTextDocumentFragment::fromHtml(text).toPlainText();
    return text;
}

} // namespace

MessageBoxAccessible::MessageBoxAccessible(QMessageBox *box)
    : QAccessibleWidget(box, QAccessible::AlertMessage)
{
}

QMessageBox *MessageBoxAccessible::messageBox() const
{
    return static_cast<QMessageBox *>(widget());
}

QString MessageBoxAccessible::message() const
{
    const QMessageBox *box = messageBox();
    const QString text = plain(box->text(), box->textFormat());
    // Qt shows the informative text as rich text when it looks like it.
    const QString more = plain(box->informativeText(), Qt::AutoText);
    return more.isEmpty() ? text : text + QLatin1Char('\n') + more;
}

QString MessageBoxAccessible::text(QAccessible::Text t) const
{
    switch (t) {
    case QAccessible::Name: {
        const QString title = QAccessibleWidget::text(t);
        return title.isEmpty() ? message() : title + QStringLiteral(": ") + message();
    }
    case QAccessible::Value: return plain(messageBox()->text(), messageBox()->textFormat());
    case QAccessible::Help: return messageBox()->informativeText();
    default: return QAccessibleWidget::text(t);
    }
}
