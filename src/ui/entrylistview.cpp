#include "entrylistview.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <algorithm>

EntryListView::EntryListView(QWidget *parent) : QListView(parent)
{
    setSelectionMode(QAbstractItemView::MultiSelection);
    // One layout per pass however long the log grows.
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // Entries are shown whole and clipped at the edge; the tool tip and a copy give the full text.
    setTextElideMode(Qt::ElideNone);
}

QList<int> EntryListView::selectedRows() const
{
    QList<int> rows;
    if (!selectionModel())
        return rows;
    for (const QModelIndex &index : selectionModel()->selectedIndexes())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

QString EntryListView::selectedText() const
{
    QStringList lines;
    for (int row : selectedRows())
        lines.append(model()->index(row, 0).data().toString());
    return lines.join(QLatin1Char('\n'));
}

void EntryListView::keyPressEvent(QKeyEvent *event)
{
    if (event == QKeySequence::Copy) {
        if (!selectedRows().isEmpty())
            QGuiApplication::clipboard()->setText(selectedText());
        event->accept();
        return;
    }
    QListView::keyPressEvent(event);
}
