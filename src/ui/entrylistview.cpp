#include "entrylistview.h"

#include "net/entrylistmodel.h"
#include "share/sharelinks.h"

#include <QAccessible>
#include <QAccessibleTableInterface>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

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

namespace {

double luminance(const QColor &colour)
{
    const auto linear = [](double c) {
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) +
           0.0722 * linear(colour.blueF());
}

} // namespace

double contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor focusFrameColour(const QPalette &palette, bool selected)
{
    const QColor row = palette.color(selected ? QPalette::Highlight : QPalette::Base);
    const QColor ground = palette.color(QPalette::Base);
    const auto standsOut = [&](const QColor &c) { return std::min(contrast(c, row), contrast(c, ground)); };
    const QColor black(Qt::black), white(Qt::white);
    return standsOut(black) >= standsOut(white) ? black : white;
}

QList<QAccessibleInterface *> newCells(QAbstractItemView &view, int start, int end)
{
    QList<QAccessibleInterface *> cells;
    QAccessibleInterface *table = QAccessible::queryAccessibleInterface(&view);
    QAccessibleTableInterface *tableCells = table ? table->tableInterface() : nullptr;
    if (!tableCells)
        return cells;
    for (int row = std::max(start, end - EntryListView::announcedRows + 1); row <= end; ++row) {
        if (QAccessibleInterface *cell = tableCells->cellAt(row, 0))
            cells.append(cell);
    }
    return cells;
}

namespace {

// Qt tells the list itself as focused after its focus-in handler, and a row only when the current
// row changes: entering a list with a current row would say no row at all.
class RowOnFocus : public QObject
{
public:
    RowOnFocus(QAbstractItemView &view, FocusRow row) : QObject(&view), m_view(view), m_row(row) {}

    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::FocusIn)
            return false;
        QAbstractItemModel *model = m_view.model();
        const auto reason = static_cast<QFocusEvent *>(event)->reason();
        // A click makes its own row current.
        if (model && reason != Qt::MouseFocusReason && !m_view.currentIndex().isValid() &&
            model->rowCount(m_view.rootIndex()) > 0) {
            const int row = m_row == FocusRow::First ? 0 : model->rowCount(m_view.rootIndex()) - 1;
            m_view.selectionModel()->setCurrentIndex(model->index(row, 0, m_view.rootIndex()),
                                                     QItemSelectionModel::NoUpdate);
        }
        QMetaObject::invokeMethod(
            &m_view, [view = &m_view] { tellCurrentRow(*view); }, Qt::QueuedConnection);
        return false;
    }

private:
    QAbstractItemView &m_view;
    FocusRow m_row;
};

} // namespace

void tellRowOnFocus(QAbstractItemView &view, FocusRow row)
{
    view.installEventFilter(new RowOnFocus(view, row));
}

QAccessibleInterface *currentCell(QAbstractItemView &view)
{
    const QModelIndex current = view.currentIndex();
    QAccessibleInterface *list = current.isValid() ? QAccessible::queryAccessibleInterface(&view) : nullptr;
    QAccessibleTableInterface *cells = list ? list->tableInterface() : nullptr;
    return cells ? cells->cellAt(current.row(), current.column()) : nullptr;
}

void tellCurrentRow(QAbstractItemView &view)
{
    if (!QAccessible::isActive() || !view.hasFocus())
        return;
    QAccessibleInterface *cell = currentCell(view);
    if (!cell)
        return;
    QAccessibleEvent focus(cell, QAccessible::Focus);
    QAccessible::updateAccessibility(&focus);
}

} // namespace EntryLists

namespace {

// The current row of a focused list gets a solid two-pixel frame in place of the style's.
class FocusFrameDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem plain(option);
        plain.state &= ~QStyle::State_HasFocus;
        QStyleOptionViewItem item(plain);
        initStyleOption(&item, index);
        const QList<ShareLinks::FoundLink> links = ShareLinks::find(item.text);
        if (links.isEmpty())
            QStyledItemDelegate::paint(painter, plain, index);
        else
            paintWithLinks(painter, item, links);
        if (!(option.state & QStyle::State_HasFocus))
            return;
        drawFocusFrame(painter, option.rect.adjusted(0, 0, -1, -1),
                       EntryLists::focusFrameColour(option.palette, option.state & QStyle::State_Selected));
    }

    // The text as plain text, its links underlined in the link colour: nothing in it is markup.
    static void paintWithLinks(QPainter *painter, QStyleOptionViewItem item,
                               const QList<ShareLinks::FoundLink> &links)
    {
        const QWidget *widget = item.widget;
        QStyle *style = widget ? widget->style() : QApplication::style();
        QString text = item.text;
        text.replace(QLatin1Char('\n'), QChar::LineSeparator);
        item.text.clear();
        style->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
        const QRect textRect =
            style->subElementRect(QStyle::SE_ItemViewItemText, &item, widget).adjusted(margin, 0, -margin, 0);
        const bool selected = item.state & QStyle::State_Selected;
        const QPalette::ColorGroup group = !(item.state & QStyle::State_Enabled) ? QPalette::Disabled
                                           : (item.state & QStyle::State_Active) ? QPalette::Normal
                                                                                 : QPalette::Inactive;
        QTextLayout layout(text, item.font);
        QTextOption textOption;
        textOption.setWrapMode(QTextOption::NoWrap);
        textOption.setTextDirection(item.direction);
        layout.setTextOption(textOption);
        QList<QTextLayout::FormatRange> formats;
        for (const ShareLinks::FoundLink &link : links) {
            QTextLayout::FormatRange range;
            range.start = int(link.start);
            range.length = int(link.length);
            range.format.setFontUnderline(true);
            // The link colour on a highlighted row would hardly stand out from it.
            range.format.setForeground(
                item.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Link));
            formats.append(range);
        }
        layout.setFormats(formats);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLineWidth(1e6);
        layout.endLayout();
        painter->save();
        painter->setClipRect(textRect);
        painter->setPen(item.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
        layout.draw(painter,
                    QPointF(textRect.left(), textRect.top() + (textRect.height() - line.height()) / 2));
        painter->restore();
    }

    static void drawFocusFrame(QPainter *painter, const QRect &rect, const QColor &colour)
    {
        painter->save();
        painter->setPen(QPen(colour, 1));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(rect);
        painter->drawRect(rect.adjusted(1, 1, -1, -1));
        painter->restore();
    }
};

} // namespace

EntryListView::EntryListView(QWidget *parent, EntryLists::FocusRow focusRow) : QTableView(parent)
{
    EntryLists::setUpListBox(*this);
    EntryLists::tellRowOnFocus(*this, focusRow);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    horizontalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 2);
    setItemDelegate(new FocusFrameDelegate(this));
}

void EntryListView::paintEvent(QPaintEvent *event)
{
    QTableView::paintEvent(event);
    // A focused list with no row to frame: the frame goes round the list itself.
    if (!hasFocus() || currentIndex().isValid())
        return;
    QPainter painter(viewport());
    FocusFrameDelegate::drawFocusFrame(&painter, viewport()->rect().adjusted(0, 0, -1, -1),
                                       EntryLists::focusFrameColour(palette(), false));
}

// Qt's bridge passes on no event for rows added to an item view; a screen reader learns of a new
// row through the creation of its cell.
void EntryListView::rowsInserted(const QModelIndex &parent, int start, int end)
{
    QTableView::rowsInserted(parent, start, end);
    // Cells are built only for a screen reader that listens.
    if (!QAccessible::isActive() || parent.isValid())
        return;
    for (QAccessibleInterface *cell : EntryLists::newCells(*this, start, end)) {
        QAccessibleEvent created(cell, QAccessible::ObjectCreated);
        QAccessible::updateAccessibility(&created);
    }
}

QModelIndex EntryListView::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers)
{
    // One column: Home and End go to the oldest and the newest entry, as in a list, not to the
    // first and last cell of the row.
    if (action == MoveHome || action == MoveEnd)
        modifiers |= Qt::ControlModifier;
    return QTableView::moveCursor(action, modifiers);
}

namespace {

// The window system makes a context menu event of the menu key only; Shift+F10 is the other key
// for it, so the list makes its own.
bool isMenuShortcut(const QKeyEvent *event)
{
    return event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier;
}

} // namespace

bool EntryListView::event(QEvent *event)
{
    // Before the window's F10 shortcut (the menu bar) can take it.
    if (event->type() == QEvent::ShortcutOverride && isMenuShortcut(static_cast<QKeyEvent *>(event))) {
        event->accept();
        return true;
    }
    return QTableView::event(event);
}

void EntryListView::keyPressEvent(QKeyEvent *event)
{
    if (isMenuShortcut(event)) {
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, {}, viewport()->mapToGlobal(QPoint()),
                               event->modifiers());
        contextMenuEvent(&menu);
        event->accept();
        return;
    }
    if (!EntryLists::copyOnShortcut(*this, event))
        QTableView::keyPressEvent(event);
}

void EntryListView::contextMenuEvent(QContextMenuEvent *event)
{
    // From the keyboard (the menu key, Shift+F10) the menu is about the current row, beside it.
    QModelIndex index = event->reason() == QContextMenuEvent::Mouse ? indexAt(event->pos()) : currentIndex();
    if (!index.isValid())
        return;
    const QPoint at = event->reason() == QContextMenuEvent::Mouse
                          ? event->globalPos()
                          : viewport()->mapToGlobal(visualRect(index).bottomLeft());
    event->accept();
    emit entryMenuRequested(index.row(), at);
}
