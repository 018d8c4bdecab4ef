#pragma once

#include <QString>

// Where a download is proposed to go. Stands for SafeFileName until the share texts and the windows
// meet.
namespace SaveNames {

// A name that is one plain file name: no folder separators, no control characters, no leading dot
// (no hidden file, no "..") and never empty.
QString baseName(const QString &name);
// folder/name, or "name (1).ext", "name (2).ext", ... when that exists: never a name in use.
QString unusedPath(const QString &folder, const QString &name);

} // namespace SaveNames
