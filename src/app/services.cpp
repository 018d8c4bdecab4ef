#include "services.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

MessageBox::~MessageBox() = default;
Shell::~Shell() = default;

void WidgetMessageBox::critical(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, parent);
    // Messages quote file contents and addresses that peers sent: never as markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void DesktopShell::openUrl(const QString &target)
{
    QDesktopServices::openUrl(QUrl(target));
}
