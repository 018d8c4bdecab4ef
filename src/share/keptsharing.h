#pragma once

#include <QString>

// One read-only look at the history's file for what an earlier run left to serve or to resume: a
// share, a drop point, a .part of an upload, or a download that did not end. With none, sharing
// need not load its stores, its registries or their code at start-up.
namespace KeptSharing {

// True when something is kept, and also when the file is there but cannot be read now: the stores
// then open it themselves and tell what is wrong.
bool anything(const QString &databasePath);

} // namespace KeptSharing
