#pragma once

#include <QString>

// What this process holds open, as /proc/self/fd tells.
namespace OpenFiles {

// The descriptors on path and on the files whose names start with it: an SQLite connection holds
// the database, its journal and its shared memory.
int descriptorsOn(const QString &path);

} // namespace OpenFiles
