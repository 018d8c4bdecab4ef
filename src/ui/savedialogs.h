#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// What sending and saving files asks the user, behind a seam so tests can answer.
class SaveDialogs
{
public:
    virtual ~SaveDialogs();
    // The files to send; empty when the user cancelled.
    virtual QStringList filesToSend(QWidget *parent) = 0;
    // Where to save a download, starting at proposedPath; empty when the user cancelled.
    virtual QString saveFileName(QWidget *parent, const QString &proposedPath) = 0;
    // The folder downloads are proposed in.
    virtual QString downloadFolder() const = 0;
};

// QFileDialog, and the desktop's download folder (XDG_DOWNLOAD_DIR: "ダウンロード" under a
// Japanese locale).
class WidgetSaveDialogs : public SaveDialogs
{
public:
    QStringList filesToSend(QWidget *parent) override;
    QString saveFileName(QWidget *parent, const QString &proposedPath) override;
    QString downloadFolder() const override;
};
