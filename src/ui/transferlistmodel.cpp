#include "transferlistmodel.h"

#include "net/entrylistmodel.h"
#include "share/sharelinks.h"
#include "sharetexts.h"

#include <QFileInfo>

int TransferListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_transfers.size());
}

int TransferListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TransferListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Name: return QStringLiteral("名前");
    case Progress: return QStringLiteral("進み具合");
    case Speed: return QStringLiteral("速度");
    case TimeLeft: return QStringLiteral("残り時間");
    case State: return QStringLiteral("状態");
    default: return {};
    }
}

QString TransferListModel::stateText(const TransferRow &t)
{
    using S = TransferRow::State;
    switch (t.state) {
    case S::Running:
        return t.from.isEmpty() ? QStringLiteral("ダウンロード中")
                                : QStringLiteral("受け取り中 (%1 から)").arg(t.from);
    case S::Waiting:
        return t.reason.isEmpty() ? QStringLiteral("待機中") : QStringLiteral("待機中: %1").arg(t.reason);
    case S::Finished: return QStringLiteral("完了");
    case S::Failed: return QStringLiteral("失敗: %1").arg(t.reason);
    case S::Cancelled: return QStringLiteral("キャンセル済み");
    }
    return {};
}

QString TransferListModel::text(int row, Column column) const
{
    const TransferRow &t = m_transfers.at(row);
    const bool running = t.state == TransferRow::State::Running;
    switch (column) {
    case Name: return QFileInfo(t.target).fileName();
    case Progress: {
        const QString of = t.size < 0 ? ShareLinks::sizeText(t.received)
                                      : QStringLiteral("%1 / %2").arg(ShareLinks::sizeText(t.received),
                                                                      ShareLinks::sizeText(t.size));
        return t.size < 0 ? of : QStringLiteral("%1 (%2)").arg(ShareTexts::percent(t.received, t.size), of);
    }
    case Speed: return running ? ShareTexts::speed(t.bytesPerSecond) : QString();
    case TimeLeft:
        if (!running || t.size < 0 || t.bytesPerSecond <= 0)
            return running ? QStringLiteral("—") : QString();
        return ShareTexts::duration(qint64(double(t.size - t.received) * 1000.0 / t.bytesPerSecond));
    case State: return stateText(t);
    default: return {};
    }
}

QVariant TransferListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_transfers.size())
        return {};
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
        return text(index.row(), Column(index.column()));
    // A long reason is cut in its column.
    if (role == Qt::ToolTipRole && index.column() == State)
        return EntryListModel::toolTip(stateText(m_transfers.at(index.row())));
    return {};
}

void TransferListModel::setTransfers(const QList<TransferRow> &transfers)
{
    bool sameRows = transfers.size() == m_transfers.size();
    for (qsizetype i = 0; sameRows && i < transfers.size(); ++i)
        sameRows = transfers[i].id == m_transfers[i].id;
    if (sameRows) {
        m_transfers = transfers;
        if (!m_transfers.isEmpty())
            emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
        return;
    }
    beginResetModel();
    m_transfers = transfers;
    endResetModel();
}
