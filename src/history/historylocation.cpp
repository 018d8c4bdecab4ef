#include "historylocation.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace HistoryLocation {

namespace {

// The program's own folder is the user's alone, also when an earlier version or the user made it
// with the system's default mode. A link there, and a folder of another user, are left as they are.
void tighten(const QString &folder)
{
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat status
    {
    };
    // A failure leaves the folder usable, and the history file is 0600 in any case.
    if (::fstat(fd, &status) == 0 && status.st_uid == ::geteuid() && (status.st_mode & 077) != 0)
        ::fchmod(fd, 0700);
    ::close(fd);
}

} // namespace

QString dataFolder(const QString &dataHome)
{
    return dataHome + QStringLiteral("/zumzum-chat");
}

QString path(const QString &settingsSavePath, const QString &appFolder, const QString &dataHome)
{
    const QString settingsFolder = QFileInfo(settingsSavePath).absolutePath();
    if (!settingsSavePath.isEmpty() && QDir(settingsFolder) == QDir(appFolder))
        return QDir(appFolder).filePath(QStringLiteral("history.sqlite"));
    return dataFolder(dataHome) + QStringLiteral("/history.sqlite");
}

QString systemDataHome()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

QString prepareFolder(const QString &filePath, const QString &dataHome)
{
    const QString folder = QFileInfo(filePath).absolutePath();
    if (QFileInfo::exists(folder)) {
        // Not a portable copy's program folder, which holds set.txt and the program.
        if (!dataHome.isEmpty() && QDir(folder) == QDir(dataFolder(dataHome)))
            tighten(folder);
        return {};
    }
    // The parents as the system makes them; the history's own folder for the user alone.
    if (!QDir().mkpath(QFileInfo(folder).absolutePath()) ||
        ::mkdir(QFile::encodeName(folder).constData(), 0700) != 0)
        return QStringLiteral("cannot create %1").arg(folder);
    return {};
}

} // namespace HistoryLocation
