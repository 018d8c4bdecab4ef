#pragma once

#include "entrylistmodel.h"

#include <QHash>

// The participant list: entries "name TAB TAB address", keyed by the address. An index from
// address to row is kept in step with every change, so finding a participant costs the same
// whatever the length of the list.
class ParticipantListModel : public EntryListModel
{
    Q_OBJECT

public:
    using EntryListModel::EntryListModel;

    // f_listChk: the row of the participant with exactly this address, or -1.
    int f_listChk(const QString &address) const { return m_rows.value(address, -1); }
    QString address(int row) const { return m_addresses.at(row); }

    // Appends the participant; the caller has made sure the address is not listed yet.
    void add(const QString &name, const QString &address);
    // Removes the participant with this address; returns its former row, or -1.
    int remove(const QString &address);

private:
    // Changes go through add() and remove() only, or the index would fall out of step.
    using EntryListModel::append;
    using EntryListModel::removeAt;
    using EntryListModel::removeFirst;

    QStringList m_addresses;
    QHash<QString, int> m_rows;
};
