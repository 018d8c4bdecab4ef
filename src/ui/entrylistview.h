#pragma once

#include <QTableView>

class QKeyEvent;

// What the list boxes share: a click toggles an entry's selection; Ctrl+A selects all and Ctrl+C
// copies the selected entries whole, as plain text, one a line, in list order.
namespace EntryLists {

void setUpListBox(QAbstractItemView &view);
QList<int> selectedRows(const QAbstractItemView &view);
QString selectedText(const QAbstractItemView &view);
// Copies the selection for the copy shortcut; false for any other key.
bool copyOnShortcut(const QAbstractItemView &view, QKeyEvent *event);

} // namespace EntryLists

// The chat log's list box: a one-column table with fixed row heights. Appending costs the same at
// the 100,000th entry as at the first, where QListView lays every row out again on each insert.
class EntryListView : public QTableView
{
    Q_OBJECT

public:
    explicit EntryListView(QWidget *parent = nullptr);

    QList<int> selectedRows() const { return EntryLists::selectedRows(*this); }
    QString selectedText() const { return EntryLists::selectedText(*this); }

protected:
    void keyPressEvent(QKeyEvent *event) override;
};
