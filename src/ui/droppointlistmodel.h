#pragma once

#include "filesharing.h"

#include <QAbstractTableModel>
#include <functional>

// The shares window's table of open drop points: one row each, its texts made here so that they
// are tested without a window.
class DropPointListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Link, Senders, Received, Expires, ColumnCount };

    // nameOf gives a participant's name for an address, or an empty string.
    explicit DropPointListModel(std::function<QString(const QString &)> nameOf, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Keeps the selection while the same drop points stay, in the same order.
    void setDropPoints(const QList<DropPointRow> &dropPoints);
    const DropPointRow &dropPoint(int row) const { return m_rows.at(row); }
    QString text(int row, Column column) const;

private:
    std::function<QString(const QString &)> m_nameOf;
    QList<DropPointRow> m_rows;
};
