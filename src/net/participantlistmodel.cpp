#include "participantlistmodel.h"

#include "participants.h"

#include <algorithm>

QString ParticipantListModel::name(int row) const
{
    const QString entry = at(row);
    return entry.left(entry.indexOf(QLatin1Char('\t')));
}

int ParticipantListModel::f_listChk(const QString &address) const
{
    const auto found = m_numberOf.constFind(address);
    if (found == m_numberOf.cend())
        return -1;
    return int(std::lower_bound(m_numbers.cbegin(), m_numbers.cend(), *found) - m_numbers.cbegin());
}

QVariant ParticipantListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= size())
        return {};
    if (role == Qt::AccessibleTextRole)
        return shortened(name(index.row()), displayCharacters);
    if (role == Qt::AccessibleDescriptionRole)
        return address(index.row());
    return EntryListModel::data(index, role);
}

void ParticipantListModel::add(const QString &name, const QString &address)
{
    m_numberOf.insert(address, m_nextNumber);
    m_numbers.append(m_nextNumber++);
    m_addresses.append(address);
    append(Participants::entry(name, address));
}

int ParticipantListModel::remove(const QString &address)
{
    const int row = f_listChk(address);
    if (row < 0)
        return -1;
    m_numberOf.remove(address);
    m_numbers.removeAt(row);
    m_addresses.removeAt(row);
    removeAt(row);
    return row;
}

void ParticipantListModel::clear()
{
    if (size() == 0)
        return;
    beginBulkChange();
    removeFirst(size());
    m_addresses.clear();
    m_numbers.clear();
    m_numberOf.clear();
    endBulkChange();
}
