#include "systemerror.h"

#include <cerrno>

namespace SystemError {

QString text(int error)
{
    switch (error) {
    case 0: return QStringLiteral("原因は分かりません");
    case ENOSPC:
    case EDQUOT: return QStringLiteral("ディスクがいっぱいです");
    case EACCES:
    case EPERM: return QStringLiteral("権限がありません");
    case ENOENT: return QStringLiteral("ファイルまたはフォルダーがありません");
    case ENOTDIR: return QStringLiteral("途中の名前がフォルダーではありません");
    case EISDIR: return QStringLiteral("フォルダーです");
    case EEXIST: return QStringLiteral("同じ名前のものがあります");
    case EROFS: return QStringLiteral("読み取り専用のファイルシステムです");
    case EIO: return QStringLiteral("ディスクの読み書きに失敗しました");
    case EFBIG: return QStringLiteral("ファイルが大きすぎます");
    case ENAMETOOLONG: return QStringLiteral("名前が長すぎます");
    case ELOOP: return QStringLiteral("リンクはたどりません");
    case EMFILE:
    case ENFILE: return QStringLiteral("開いているファイルが多すぎます");
    case ENOMEM: return QStringLiteral("メモリーが足りません");
    case EXDEV: return QStringLiteral("別のファイルシステムです");
    case EBUSY: return QStringLiteral("使用中です");
    }
    return QStringLiteral("システムのエラー %1").arg(error);
}

} // namespace SystemError
