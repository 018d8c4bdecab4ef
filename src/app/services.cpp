#include "services.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

MessageBox::~MessageBox() = default;
Shell::~Shell() = default;

void WidgetMessageBox::critical(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, parent);
    box.exec();
}

void DesktopShell::openUrl(const QString &target)
{
    QDesktopServices::openUrl(QUrl(target));
}
