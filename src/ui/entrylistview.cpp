#include "entrylistview.h"

#include "net/entrylistmodel.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <algorithm>

EntryListView::EntryListView(QWidget *parent) : QTableView(parent)
{
    setSelectionMode(QAbstractItemView::MultiSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    horizontalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 2);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    // Entries are shown whole and clipped at the edge; the tool tip and a copy give the full text.
    setTextElideMode(Qt::ElideNone);
}

QList<int> EntryListView::selectedRows() const
{
    QList<int> rows;
    if (!selectionModel())
        return rows;
    for (const QModelIndex &index : selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

QString EntryListView::selectedText() const
{
    QStringList lines;
    for (int row : selectedRows())
        lines.append(model()->index(row, 0).data(EntryListModel::fullTextRole).toString());
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
    QTableView::keyPressEvent(event);
}
