#include "participantlistview.h"

#include "net/participantlistmodel.h"

void ParticipantListView::setModel(QAbstractItemModel *model)
{
    if (this->model())
        disconnect(this->model(), nullptr, this, nullptr);
    EntryListView::setModel(model);
    auto *participants = qobject_cast<ParticipantListModel *>(model);
    if (!participants)
        return;
    connect(participants, &QAbstractItemModel::modelAboutToBeReset, this, [this, participants] {
        m_selectedAddresses.clear();
        for (int row : selectedRows())
            m_selectedAddresses.append(participants->address(row));
    });
    connect(participants, &QAbstractItemModel::modelReset, this, [this, participants] {
        for (const QString &address : std::as_const(m_selectedAddresses)) {
            const int row = participants->f_listChk(address);
            if (row >= 0)
                selectionModel()->select(participants->index(row, 0),
                                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
        m_selectedAddresses.clear();
    });
}
