#pragma once

#include <QString>

// The words for a failure of the shares' and downloads' stores in the history's file: what went
// wrong and what the user can do, never a library's own text (English, or in the C locale's terms).
namespace StoreFailure {

// What an SQLite result code means for the user: "ディスクがいっぱいです".
QString reason(int sqliteCode);
// What the user can do about it.
QString advice(int sqliteCode);
// What a system error (errno) on the file or its folder means, as reason() does.
QString systemReason(int error);
// The SQLite result code that stands for a system error, for advice().
int sqliteCodeOf(int error);

} // namespace StoreFailure
