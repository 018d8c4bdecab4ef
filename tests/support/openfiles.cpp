#include "openfiles.h"

#include <QDir>
#include <QFile>

namespace OpenFiles {

int descriptorsOn(const QString &path)
{
    int count = 0;
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    for (const QString &name :
         descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (QFile::symLinkTarget(descriptors.filePath(name)).startsWith(path))
            ++count;
    }
    return count;
}

} // namespace OpenFiles
