#include "entrylistview.h"

#include "net/entrylistmodel.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <algorithm>

namespace EntryLists {

void setUpListBox(QAbstractItemView &view)
{
    view.setSelectionMode(QAbstractItemView::MultiSelection);
    view.setEditTriggers(QAbstractItemView::NoEditTriggers);
    view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    // Entries are shown whole and clipped at the edge; the tool tip and a copy give the full text.
    view.setTextElideMode(Qt::ElideNone);
    // Tab leaves the list for the next control instead of walking its rows.
    view.setTabKeyNavigation(false);
}

QList<int> selectedRows(const QAbstractItemView &view)
{
    QList<int> rows;
    if (!view.selectionModel())
        return rows;
    for (const QModelIndex &index : view.selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

QString selectedText(const QAbstractItemView &view)
{
    QStringList lines;
    for (int row : selectedRows(view))
        lines.append(view.model()->index(row, 0).data(EntryListModel::fullTextRole).toString());
    return lines.join(QLatin1Char('\n'));
}

bool copyOnShortcut(const QAbstractItemView &view, QKeyEvent *event)
{
    if (event != QKeySequence::Copy)
        return false;
    if (!selectedRows(view).isEmpty())
        QGuiApplication::clipboard()->setText(selectedText(view));
    event->accept();
    return true;
}

} // namespace EntryLists

EntryListView::EntryListView(QWidget *parent) : QTableView(parent)
{
    EntryLists::setUpListBox(*this);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    horizontalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 2);
}

void EntryListView::keyPressEvent(QKeyEvent *event)
{
    if (!EntryLists::copyOnShortcut(*this, event))
        QTableView::keyPressEvent(event);
}
