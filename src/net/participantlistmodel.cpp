#include "participantlistmodel.h"

#include "participants.h"

void ParticipantListModel::add(const QString &name, const QString &address)
{
    m_rows.insert(address, size());
    m_addresses.append(address);
    append(Participants::entry(name, address));
}

int ParticipantListModel::remove(const QString &address)
{
    const int row = f_listChk(address);
    if (row < 0)
        return -1;
    m_rows.remove(address);
    m_addresses.removeAt(row);
    for (int later = row; later < m_addresses.size(); ++later)
        m_rows[m_addresses.at(later)] = later;
    removeAt(row);
    return row;
}
