#include "savenames.h"

#include <QDir>
#include <QFileInfo>

namespace SaveNames {

QString baseName(const QString &name)
{
    QString plain;
    plain.reserve(name.size());
    for (QChar c : name) {
        if (c == u'/' || c == u'\\' || c.category() == QChar::Other_Control)
            plain.append(u'_');
        else
            plain.append(c);
    }
    plain = plain.trimmed();
    while (plain.startsWith(u'.'))
        plain.remove(0, 1);
    return plain.isEmpty() ? QStringLiteral("ダウンロード") : plain;
}

QString unusedPath(const QString &folder, const QString &name)
{
    const QDir dir(folder);
    const QString first = dir.filePath(name);
    if (!QFileInfo::exists(first))
        return first;
    // "a.tar.gz" keeps its last extension only: "a.tar (1).gz" would be odd, "a (1).tar.gz" is
    // what file managers make of it too.
    qsizetype dot = name.lastIndexOf(u'.');
    if (name.endsWith(QStringLiteral(".tar.gz")) || name.endsWith(QStringLiteral(".tar.xz")) ||
        name.endsWith(QStringLiteral(".tar.bz2")))
        dot = name.lastIndexOf(u'.', dot - 1);
    if (dot <= 0)
        dot = name.size();
    const QString stem = name.left(dot), extension = name.mid(dot);
    for (int n = 1;; ++n) {
        const QString candidate = dir.filePath(QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(extension));
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
}

} // namespace SaveNames
