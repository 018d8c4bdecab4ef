#pragma once

#include "entrylistview.h"

#include <QStringList>

// The participant list's list box. The list is shown anew after a flood of leaves (see
// ChatSession); the user's choice of recipients survives that, by address.
class ParticipantListView : public EntryListView
{
    Q_OBJECT

public:
    explicit ParticipantListView(QWidget *parent = nullptr)
        : EntryListView(parent, EntryLists::FocusRow::First)
    {
    }

    void setModel(QAbstractItemModel *model) override;

private:
    QStringList m_selectedAddresses;
};
