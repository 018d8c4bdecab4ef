#include "sharelistmodel.h"

#include "net/entrylistmodel.h"
#include "share/sharelinks.h"
#include "sharetexts.h"

ShareListModel::ShareListModel(std::function<QString(const QString &)> nameOf, QObject *parent)
    : QAbstractTableModel(parent), m_nameOf(std::move(nameOf))
{
}

int ShareListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_shares.size());
}

int ShareListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ShareListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Name: return QStringLiteral("名前");
    case Size: return QStringLiteral("サイズ");
    case Recipients: return QStringLiteral("相手");
    case Downloads: return QStringLiteral("ダウンロード");
    case Expires: return QStringLiteral("残り時間");
    default: return {};
    }
}

QString ShareListModel::text(int row, Column column) const
{
    const ShareRow &s = m_shares.at(row);
    switch (column) {
    case Name: return s.name;
    case Size: return ShareLinks::sizeText(s.size);
    case Recipients: return ShareTexts::people(s.recipients, m_nameOf);
    case Downloads: {
        QString text = QStringLiteral("完了 %1").arg(s.downloadsFinished);
        if (s.downloadsRunning > 0)
            text += QStringLiteral("、実行中 %1 (%2)")
                        .arg(s.downloadsRunning)
                        .arg(ShareTexts::percent(s.runningBytesSent, s.runningBytesTotal));
        return text;
    }
    case Expires: return s.msLeft < 0 ? QStringLiteral("終了まで") : ShareTexts::duration(s.msLeft);
    default: return {};
    }
}

QVariant ShareListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_shares.size())
        return {};
    // Names come from files anybody could have made: plain text only.
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
        return text(index.row(), Column(index.column()));
    if (role == Qt::ToolTipRole && index.column() <= Recipients)
        return EntryListModel::toolTip(text(index.row(), Column(index.column())));
    if (role == Qt::TextAlignmentRole && index.column() == Size)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

void ShareListModel::setShares(const QList<ShareRow> &shares)
{
    // Same shares in the same order: only the texts changed, and the selection stays put.
    bool sameRows = shares.size() == m_shares.size();
    for (qsizetype i = 0; sameRows && i < shares.size(); ++i)
        sameRows = shares[i].code == m_shares[i].code;
    if (sameRows) {
        m_shares = shares;
        if (!m_shares.isEmpty())
            emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
        return;
    }
    beginResetModel();
    m_shares = shares;
    endResetModel();
}
