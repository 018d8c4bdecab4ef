#include "savedialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QStandardPaths>

SaveDialogs::~SaveDialogs() = default;

QStringList WidgetSaveDialogs::filesToSend(QWidget *parent)
{
    return QFileDialog::getOpenFileNames(parent, QStringLiteral("送るファイル"));
}

QString WidgetSaveDialogs::saveFileName(QWidget *parent, const QString &proposedPath)
{
    // The dialog asks before replacing a file; the download itself never overwrites one.
    return QFileDialog::getSaveFileName(parent, QStringLiteral("ダウンロードの保存先"), proposedPath);
}

QString WidgetSaveDialogs::downloadFolder() const
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return folder.isEmpty() ? QDir::homePath() : folder;
}
