#pragma once

#include "filedownloads.h"

#include <QAbstractTableModel>

// The downloads window's table: one row a download.
class TransferListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Name, Progress, Speed, TimeLeft, State, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    void setTransfers(const QList<TransferRow> &transfers);
    const TransferRow &transfer(int row) const { return m_transfers.at(row); }
    QString text(int row, Column column) const;
    // "完了", "失敗: REASON", ...
    static QString stateText(const TransferRow &transfer);

private:
    QList<TransferRow> m_transfers;
};
