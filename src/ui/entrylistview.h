#pragma once

#include <QTableView>

class QAccessibleInterface;
class QContextMenuEvent;
class QKeyEvent;

// What the list boxes share: a click toggles an entry's selection; Ctrl+A selects all and Ctrl+C
// copies the selected entries whole, as plain text, one a line, in list order.
namespace EntryLists {

void setUpListBox(QAbstractItemView &view);
QList<int> selectedRows(const QAbstractItemView &view);
QString selectedText(const QAbstractItemView &view);
// Copies the selection for the copy shortcut; false for any other key.
bool copyOnShortcut(const QAbstractItemView &view, QKeyEvent *event);
// The colour of the focus frame on a row, selected or not: black or white, whichever stands out
// more from both the row and the list's ground (the style's own frame hardly differs from them).
QColor focusFrameColour(const QPalette &palette, bool selected);
// The contrast ratio of two colours as WCAG defines it, 1 to 21.
double contrast(const QColor &a, const QColor &b);
// The cells of the rows start to end that a screen reader is told of as created: those of the
// newest rows, at most EntryListView::announcedRows.
QList<QAccessibleInterface *> newCells(QAbstractItemView &view, int start, int end);
// The row a list offers when it gets the focus without a current row.
enum class FocusRow { First, Newest };
// A list that gets the focus tells a screen reader its current row, giving it one first if it has
// none; the selection stays as the user made it.
void tellRowOnFocus(QAbstractItemView &view, FocusRow row);
// The cell of the current row, as a screen reader is told it; null without one.
QAccessibleInterface *currentCell(QAbstractItemView &view);
// A focus event for the current row of a focused view, when a screen reader listens.
void tellCurrentRow(QAbstractItemView &view);

} // namespace EntryLists

// The chat log's list box: a one-column table with fixed row heights. Appending costs the same at
// the 100,000th entry as at the first, where QListView lays every row out again on each insert.
class EntryListView : public QTableView
{
    Q_OBJECT

public:
    explicit EntryListView(QWidget *parent = nullptr,
                           EntryLists::FocusRow focusRow = EntryLists::FocusRow::Newest);

    QList<int> selectedRows() const { return EntryLists::selectedRows(*this); }
    QString selectedText() const { return EntryLists::selectedText(*this); }

    // At most this many of the rows added at once are told to a screen reader one by one.
    static constexpr int announcedRows = 20;

signals:
    // The context menu for the row: by the mouse over it, or by the keyboard on the current one.
    void entryMenuRequested(int row, const QPoint &globalPos);

protected:
    bool event(QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void paintEvent(QPaintEvent *event) override;
    void rowsInserted(const QModelIndex &parent, int start, int end) override;
};
