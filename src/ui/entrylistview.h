#pragma once

#include <QTableView>

// A list box of entries: a click toggles an entry's selection; Ctrl+A selects all and Ctrl+C
// copies the selected entries as plain text, one a line, in list order.
// A one-column table with fixed row heights: appending costs the same at the 100,000th entry as at
// the first, where QListView lays every row out again on each insert.
class EntryListView : public QTableView
{
    Q_OBJECT

public:
    explicit EntryListView(QWidget *parent = nullptr);

    QList<int> selectedRows() const;
    QString selectedText() const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
};
