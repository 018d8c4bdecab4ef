#include "shareentry.h"

#include <QFile>
#include <sys/stat.h>

namespace {

FileIdentity identityOf(const struct stat &status)
{
    return {quint64(status.st_dev), quint64(status.st_ino), qint64(status.st_size),
            qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

} // namespace

std::optional<FileIdentity> FileIdentity::of(int descriptor)
{
    struct stat status = {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return identityOf(status);
}

std::optional<FileIdentity> FileIdentity::ofPath(const QString &path)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return identityOf(status);
}

QByteArray FileIdentity::etag() const
{
    return '"' + QByteArray::number(device, 16) + '-' + QByteArray::number(inode, 16) + '-' +
           QByteArray::number(size, 16) + '-' + QByteArray::number(mtimeNs, 16) + '"';
}
