#pragma once

#include "filesharing.h"

#include <QAbstractTableModel>
#include <functional>

// The shares window's table: one row a share, its texts made here so that they are tested
// without a window.
class ShareListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Name, Size, Recipients, Downloads, Expires, ColumnCount };

    // nameOf gives a participant's name for an address, or an empty string.
    explicit ShareListModel(std::function<QString(const QString &)> nameOf, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Keeps the selection of rows whose share is still there: rows are matched by code.
    void setShares(const QList<ShareRow> &shares);
    const ShareRow &share(int row) const { return m_shares.at(row); }
    QString text(int row, Column column) const;

private:
    std::function<QString(const QString &)> m_nameOf;
    QList<ShareRow> m_shares;
};
