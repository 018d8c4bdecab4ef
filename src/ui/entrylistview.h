#pragma once

#include <QListView>

// A list box of entries: a click toggles an entry's selection; Ctrl+A selects all and Ctrl+C
// copies the selected entries as plain text, one a line, in list order.
class EntryListView : public QListView
{
    Q_OBJECT

public:
    explicit EntryListView(QWidget *parent = nullptr);

    QList<int> selectedRows() const;
    QString selectedText() const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
};
