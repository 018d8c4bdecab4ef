#include "storefailure.h"

#include <sqlite3.h>

#include <cerrno>

namespace StoreFailure {

QString reason(int sqliteCode)
{
    switch (sqliteCode & 0xff) {
    case SQLITE_FULL: return QStringLiteral("ディスクがいっぱいです");
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return QStringLiteral("ほかのプログラムがファイルを使っています");
    case SQLITE_READONLY: return QStringLiteral("ファイルに書き込めません");
    case SQLITE_CANTOPEN: return QStringLiteral("ファイルを開くことも作ることもできません");
    case SQLITE_PERM:
    case SQLITE_AUTH: return QStringLiteral("ファイルを使う権限がありません");
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT: return QStringLiteral("ファイルが壊れているか、履歴のファイルではありません");
    case SQLITE_IOERR: return QStringLiteral("ディスクの読み書きに失敗しました");
    case SQLITE_NOMEM: return QStringLiteral("メモリーが足りません");
    }
    return QStringLiteral("SQLite がエラー %1 を返しました").arg(sqliteCode);
}

QString advice(int sqliteCode)
{
    switch (sqliteCode & 0xff) {
    case SQLITE_FULL: return QStringLiteral("ディスクの空きを増やしてから、もう一度試してください。");
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return QStringLiteral(
            "ほかのプログラムが履歴のファイルを使ったままです。しばらくしてから、もう一度試してください。");
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH: return QStringLiteral("履歴のファイルとそのフォルダーに書き込めるか確かめてください。");
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        // The history sets a damaged file aside at its next start; a file of another kind it leaves.
        return QStringLiteral("履歴のファイルが壊れているか、履歴のファイルではありません。壊れたファイルは"
                              "プログラムを起動し直すと別の名前で残され、新しいファイルで始まります。"
                              "履歴のファイルでないものは別の場所へ移してください。");
    }
    return QStringLiteral("プログラムを起動し直してください。");
}

QString systemReason(int error)
{
    switch (error) {
    case ENOSPC:
    case EDQUOT: return QStringLiteral("ディスクがいっぱいです");
    case EACCES:
    case EPERM: return QStringLiteral("フォルダーに書き込む権限がありません");
    case ENOENT:
    case ENOTDIR: return QStringLiteral("フォルダーがありません");
    case EROFS: return QStringLiteral("読み取り専用のファイルシステムです");
    case EIO: return QStringLiteral("ディスクの読み書きに失敗しました");
    }
    return QStringLiteral("システムがエラー %1 を返しました").arg(error);
}

int sqliteCodeOf(int error)
{
    return error == ENOSPC || error == EDQUOT ? SQLITE_FULL : SQLITE_CANTOPEN;
}

} // namespace StoreFailure
