#pragma once

#include "entrylistmodel.h"

#include <QHash>

// The participant list: entries "name TAB TAB address", keyed by the address. An index from
// address to row is kept in step with every change, so a join or a leave costs about the same
// whatever the length of the list: each participant gets a number that grows with every join,
// the rows hold increasing numbers, and a row is found by a binary search for its number.
class ParticipantListModel : public EntryListModel
{
    Q_OBJECT

public:
    using EntryListModel::EntryListModel;

    // f_listChk: the row of the participant with exactly this address, or -1.
    int f_listChk(const QString &address) const;
    // For a screen reader the row's name is the participant's name, its description the address.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QString address(int row) const { return m_addresses.at(row); }
    QString name(int row) const;

    // Appends the participant; the caller has made sure the address is not listed yet.
    void add(const QString &name, const QString &address);
    // Removes the participant with this address; returns its former row, or -1.
    int remove(const QString &address);
    // Forgets every participant; the views are told once.
    void clear();

private:
    // Changes go through add() and remove() only, or the index would fall out of step.
    using EntryListModel::append;
    using EntryListModel::removeAt;
    using EntryListModel::removeFirst;

    QStringList m_addresses;
    QList<quint64> m_numbers; // by row, increasing
    QHash<QString, quint64> m_numberOf;
    quint64 m_nextNumber = 0;
};
