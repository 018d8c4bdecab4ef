#pragma once

#include <QAbstractListModel>
#include <QStringList>

// The entries of a list box: texts appended at the end, removed by index, never changed.
class EntryListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    void append(const QString &entry);
    void removeAt(int row);
    const QStringList &entries() const { return m_entries; }
    QString at(int row) const { return m_entries.at(row); }
    int size() const { return int(m_entries.size()); }

private:
    QStringList m_entries;
};
