#include "historylocation.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <sys/stat.h>

namespace HistoryLocation {

QString path(const QString &settingsSavePath, const QString &appFolder, const QString &dataHome)
{
    const QString settingsFolder = QFileInfo(settingsSavePath).absolutePath();
    if (!settingsSavePath.isEmpty() && QDir(settingsFolder) == QDir(appFolder))
        return QDir(appFolder).filePath(QStringLiteral("history.sqlite"));
    return dataHome + QStringLiteral("/zumzum-chat/history.sqlite");
}

QString systemDataHome()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

QString prepareFolder(const QString &filePath)
{
    const QString folder = QFileInfo(filePath).absolutePath();
    if (QFileInfo::exists(folder))
        return {};
    // The parents as the system makes them; the history's own folder for the user alone.
    if (!QDir().mkpath(QFileInfo(folder).absolutePath()) ||
        ::mkdir(QFile::encodeName(folder).constData(), 0700) != 0)
        return QStringLiteral("cannot create %1").arg(folder);
    return {};
}

} // namespace HistoryLocation
