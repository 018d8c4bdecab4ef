#include "widgetmessagebox.h"

#include <QMessageBox>

void WidgetMessageBox::critical(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, parent);
    // Messages quote file contents and addresses that peers sent: never as markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
