#include "participantlistview.h"

#include "entrylistview.h"

#include <QKeyEvent>

ParticipantListView::ParticipantListView(QWidget *parent) : QListView(parent)
{
    EntryLists::setUpListBox(*this);
    setUniformItemSizes(true);
    setWordWrap(false);
}

QList<int> ParticipantListView::selectedRows() const
{
    return EntryLists::selectedRows(*this);
}

QString ParticipantListView::selectedText() const
{
    return EntryLists::selectedText(*this);
}

void ParticipantListView::keyPressEvent(QKeyEvent *event)
{
    if (!EntryLists::copyOnShortcut(*this, event))
        QListView::keyPressEvent(event);
}
