#include "historywindow.h"

#include "accessibility.h"
#include "announcer.h"
#include "base/scheduler.h"
#include "entrylistview.h"
#include "history/history.h"
#include "history/historylistmodel.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QTextLayout>
#include <QTreeView>
#include <QVBoxLayout>

HistoryDialogs::~HistoryDialogs() = default;

QString WidgetHistoryDialogs::exportFileName(QWidget *parent, HistoryExport::Format &format)
{
    const QString text = QStringLiteral("テキスト (*.txt)");
    const QString csv = QStringLiteral("CSV (*.csv)");
    QString filter = text;
    const QString name = QFileDialog::getSaveFileName(
        parent, QStringLiteral("履歴の書き出し"), QDir::home().filePath(QStringLiteral("zumzum-history.txt")),
        text + QStringLiteral(";;") + csv, &filter);
    format = filter == csv || name.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive)
                 ? HistoryExport::Format::Csv
                 : HistoryExport::Format::Text;
    return name;
}

bool WidgetHistoryDialogs::confirmClear(QWidget *parent)
{
    return QMessageBox::question(
               parent, QStringLiteral("履歴の消去"),
               QStringLiteral("履歴をすべて消去します。壊れたファイルとして残した写しも消します。"
                              "元に戻せません。よろしいですか？"),
               QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

bool WidgetHistoryDialogs::confirmShorterKeep(QWidget *parent, const QString &period)
{
    return QMessageBox::question(parent, QStringLiteral("保存期間"),
                                 QStringLiteral("保存期間を%1にすると、%1より前の行を消去します。"
                                                "元に戻せません。よろしいですか？")
                                     .arg(period),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void WidgetHistoryDialogs::tell(QWidget *parent, const QString &text)
{
    QMessageBox::warning(parent, QStringLiteral("履歴"), text);
}

namespace {

// Marks where the search text occurs in names and lines. The text is laid out as plain text: no
// markup a peer sent is ever interpreted.
class MarkingDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QString query;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem item = option;
        initStyleOption(&item, index);
        if (index.data(HistoryListModel::separatorRole).toBool()) {
            item.font.setBold(true);
            item.backgroundBrush = item.palette.alternateBase();
        }
        const bool marks = !query.isEmpty() && (index.column() == HistoryListModel::NameColumn ||
                                                index.column() == HistoryListModel::TextColumn);
        if (!marks) {
            QStyledItemDelegate::paint(painter, item, index);
            return;
        }
        const QString text = item.text;
        item.text.clear();
        const QWidget *widget = item.widget;
        QStyle *style = widget ? widget->style() : nullptr;
        if (!style)
            return;
        style->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);
        const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &item, widget);

        QList<QTextLayout::FormatRange> ranges;
        QTextCharFormat marked;
        marked.setBackground(QColor(0xff, 0xe0, 0x40));
        marked.setForeground(Qt::black);
        for (qsizetype at = text.indexOf(query, 0, Qt::CaseInsensitive); at >= 0;
             at = text.indexOf(query, at + query.size(), Qt::CaseInsensitive))
            ranges.append({int(at), int(query.size()), marked});
        QTextLayout layout(text, item.font);
        QTextOption textOption;
        textOption.setWrapMode(QTextOption::NoWrap);
        layout.setTextOption(textOption);
        layout.setFormats(ranges);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLineWidth(1e6);
        layout.endLayout();
        painter->save();
        painter->setClipRect(area);
        painter->setPen(item.palette.color(item.state & QStyle::State_Selected ? QPalette::HighlightedText
                                                                               : QPalette::Text));
        layout.draw(painter, QPointF(area.left() + 3, area.top() + (area.height() - line.height()) / 2));
        painter->restore();
    }
};

MarkingDelegate *markingDelegate(QTreeView *view)
{
    return static_cast<MarkingDelegate *>(view->itemDelegate());
}

} // namespace

HistoryWindow::HistoryWindow(History &history, Scheduler &scheduler, HistoryDialogs &dialogs, QWidget *parent,
                             std::function<bool()> screenReaderActive)
    : QWidget(parent, Qt::Window), m_history(history), m_dialogs(dialogs),
      m_screenReaderActive(screenReaderActive ? std::move(screenReaderActive)
                                              : [] { return QAccessible::isActive(); }),
      m_searchTimer(scheduler.createTimer(Timer::SingleShot, Qt::CoarseTimer))
{
    setWindowTitle(QStringLiteral("履歴"));
    setObjectName(QStringLiteral("HistoryWindow"));
    resize(760, 560);

    m_search = new QLineEdit(this);
    m_search->setObjectName(QStringLiteral("historySearch"));
    m_search->setPlaceholderText(QStringLiteral("検索（名前・内容）"));
    m_search->setClearButtonEnabled(true);
    m_search->setAccessibleName(QStringLiteral("履歴の検索"));
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("historyStatus"));
    m_status->setTextFormat(Qt::PlainText);
    // Its name is its text, the count, which a fixed name would hide from a screen reader.
    m_status->setAccessibleDescription(QStringLiteral("検索の結果"));
    m_announcement = new AnnouncementLabel(this);
    m_announcer = new Announcer(scheduler, this);
    connect(m_announcer, &Announcer::announce, m_announcement, &AnnouncementLabel::announce);

    m_resultModel = new HistoryListModel(this);
    m_contextModel = new HistoryListModel(this);
    m_results = makeList(m_resultModel, QStringLiteral("履歴の行"));
    m_results->setObjectName(QStringLiteral("historyResults"));
    m_context = makeList(m_contextModel, QStringLiteral("選んだ行の前後"));
    m_context->setObjectName(QStringLiteral("historyContext"));

    m_saving = new QCheckBox(QStringLiteral("履歴を保存する"), this);
    m_saving->setObjectName(QStringLiteral("historySaving"));
    m_saving->setAccessibleName(QStringLiteral("履歴を保存する"));
    m_keep = new QComboBox(this);
    m_keep->setObjectName(QStringLiteral("historyKeep"));
    m_keep->addItem(QStringLiteral("1か月"), 1);
    m_keep->addItem(QStringLiteral("1年"), 12);
    m_keep->addItem(QStringLiteral("無期限"), 0);
    // Named by its label. Qt 6.4 gives a closed combo box no text and no selection a screen reader
    // could read its value from, so the label's accessible name carries the period, and a change
    // made while the box has the focus is announced.
    auto *keepLabel = new QLabel(QStringLiteral("保存期間:"), this);
    keepLabel->setBuddy(m_keep);
    const auto nameKeepLabel = [this, keepLabel] {
        keepLabel->setAccessibleName(QStringLiteral("保存期間: %1").arg(m_keep->currentText()));
    };
    nameKeepLabel();
    connect(m_keep, &QComboBox::currentIndexChanged, this, [this, nameKeepLabel] {
        nameKeepLabel();
        if (m_keep->hasFocus() && m_screenReaderActive())
            m_announcer->stateChanged(m_keep->currentText());
    });
    m_export = new QPushButton(QStringLiteral("書き出し…"), this);
    m_export->setObjectName(QStringLiteral("historyExport"));
    m_export->setAccessibleName(QStringLiteral("書き出し"));
    auto *exportMenu = new QMenu(m_export);
    exportMenu->addAction(QStringLiteral("表示中の行…"), this, &HistoryWindow::exportShown);
    exportMenu->addAction(QStringLiteral("すべての行…"), this, &HistoryWindow::exportAll);
    m_export->setMenu(exportMenu);
    m_clear = new QPushButton(QStringLiteral("消去…"), this);
    m_clear->setObjectName(QStringLiteral("historyClear"));
    m_clear->setAccessibleName(QStringLiteral("履歴の消去"));

    auto *splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(m_results);
    splitter->addWidget(m_context);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    auto *commands = new QHBoxLayout;
    commands->addWidget(m_saving);
    commands->addSpacing(12);
    commands->addWidget(keepLabel);
    commands->addWidget(m_keep);
    commands->addStretch();
    commands->addWidget(m_export);
    commands->addWidget(m_clear);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_search);
    layout->addWidget(m_status);
    layout->addWidget(splitter, 1);
    layout->addLayout(commands);

    // Tab goes from the search straight to the results.
    setTabOrder(m_search, m_results);
    setTabOrder(m_results, m_context);
    setTabOrder(m_context, m_saving);
    setTabOrder(m_saving, m_keep);
    setTabOrder(m_keep, m_export);
    setTabOrder(m_export, m_clear);

    // The newest lines stay in sight while the list is laid out or resized, until the user scrolls.
    QScrollBar *scrollBar = m_results->verticalScrollBar();
    connect(scrollBar, &QScrollBar::rangeChanged, this, [this, scrollBar](int, int maximum) {
        if (m_followNewest)
            scrollBar->setValue(maximum);
    });
    connect(scrollBar, &QScrollBar::valueChanged, this, [this, scrollBar](int value) {
        if (m_shownQuery.isEmpty())
            m_followNewest = value == scrollBar->maximum();
    });
    connect(m_search, &QLineEdit::textChanged, this, [this] { m_searchTimer->start(searchDelayMs); });
    connect(m_searchTimer.get(), &Timer::timeout, this, &HistoryWindow::startSearch);
    connect(m_results, &QTreeView::activated, this, &HistoryWindow::showContext);
    connect(m_results, &QTreeView::clicked, this, &HistoryWindow::showContext);
    connect(m_saving, &QCheckBox::toggled, &m_history, &History::setSaving);
    // Keys, clicks and the wheel all end here.
    connect(m_keep, &QComboBox::activated, this, [this] { chooseKeepMonths(m_keep->currentData().toInt()); });
    connect(m_clear, &QPushButton::clicked, this, &HistoryWindow::clearAsking);
    connect(&m_history, &History::linesFound, this, &HistoryWindow::showFound);
    connect(&m_history, &History::ready, this, [this] {
        showSettings();
        startSearch();
    });
    connect(&m_history, &History::unavailable, this, &HistoryWindow::showSettings);
    connect(&m_history, &History::settingsChanged, this, &HistoryWindow::showSettings);
    connect(&m_history, &History::stored, this, [this] {
        // The newest lines follow the chat while no search is shown.
        if (isVisible() && m_search->text().trimmed().isEmpty() && !m_searchTimer->isActive())
            m_searchTimer->start(searchDelayMs);
    });
    connect(&m_history, &History::exported, this, [this](const QString &error) {
        if (error.isEmpty())
            m_status->setText(QStringLiteral("書き出しました"));
        else
            m_dialogs.tell(this, QStringLiteral("書き出せませんでした: %1").arg(error));
    });
    connect(&m_history, &History::cleared, this, [this](bool ok) {
        if (!ok)
            m_dialogs.tell(this, QStringLiteral("消去できませんでした"));
        m_contextModel->setLines({});
        startSearch();
    });
    showSettings();
}

HistoryWindow::~HistoryWindow() = default;

QTreeView *HistoryWindow::makeList(HistoryListModel *model, const QString &accessibleName)
{
    auto *view = new QTreeView(this);
    view->setModel(model);
    view->setItemDelegate(new MarkingDelegate(view));
    view->setRootIsDecorated(false);
    view->setUniformRowHeights(true);
    view->setAllColumnsShowFocus(true);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    EntryLists::tellRowOnFocus(*view, EntryLists::FocusRow::First);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setAccessibleName(accessibleName);
    view->header()->setStretchLastSection(true);
    view->setColumnWidth(HistoryListModel::DateColumn, 90);
    view->setColumnWidth(HistoryListModel::TimeColumn, 70);
    view->setColumnWidth(HistoryListModel::NameColumn, 120);
    // A day's row spans the columns.
    connect(model, &QAbstractItemModel::modelReset, view, [view, model] {
        for (int row = 0; row < model->rowCount(); ++row) {
            if (model->data(model->index(row, 0), HistoryListModel::separatorRole).toBool())
                view->setFirstColumnSpanned(row, QModelIndex(), true);
        }
    });
    auto *copy = new QAction(view);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, [this, view] { copySelection(view); });
    view->addAction(copy);
    return view;
}

void HistoryWindow::openSearch()
{
    // Asked for before the window is laid out and shown: the reader's answer then usually comes
    // before the first paint, which draws the list once instead of empty and then again.
    if (m_listRequest == 0)
        startSearch();
    show();
    raise();
    activateWindow();
    m_search->setFocus(Qt::ShortcutFocusReason);
    m_search->selectAll();
}

void HistoryWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_listRequest == 0)
        startSearch();
    // Another instance sharing the file may have changed the settings while the window was closed.
    m_history.checkSettings();
}

void HistoryWindow::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void HistoryWindow::startSearch()
{
    m_searchTimer->stop();
    const QString query = m_search->text().trimmed();
    m_listRequest =
        query.isEmpty() ? m_history.requestNewest(newestLines) : m_history.requestSearch(query, resultLines);
    m_pendingQuery = query;
}

void HistoryWindow::showFound(quint64 request, const HistoryLines &lines)
{
    if (request == m_contextRequest) {
        m_contextModel->setLines(lines);
        const int row = m_contextModel->rowOfId(m_contextId);
        if (row >= 0) {
            const QModelIndex index = m_contextModel->index(row, 0);
            m_context->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect |
                                                           QItemSelectionModel::Rows);
            m_context->scrollTo(index, QAbstractItemView::PositionAtCenter);
        }
        return;
    }
    if (request != m_listRequest)
        return;
    m_shownQuery = m_pendingQuery;
    markingDelegate(m_results)->query = m_shownQuery;
    if (m_shownQuery.isEmpty()) {
        // The newest lines as they came, the last at the bottom.
        HistoryLines ordered(lines.crbegin(), lines.crend());
        m_resultModel->setLines(ordered);
        m_followNewest = true;
        m_results->scrollToBottom();
        m_status->setText(m_history.state() == History::State::Off
                              ? QStringLiteral("履歴は使えません")
                              : QStringLiteral("最近の %1 行").arg(lines.size()));
    } else {
        m_resultModel->setLines(lines);
        m_followNewest = false;
        m_results->scrollToTop();
        m_status->setText(lines.size() >= resultLines
                              ? QStringLiteral("新しい順に %1 件（それより前は省略）").arg(lines.size())
                              : QStringLiteral("%1 件").arg(lines.size()));
    }
    m_results->viewport()->update();
    announceCount();
}

void HistoryWindow::announceCount()
{
    // Once per search: a refresh of the same one (a line stored, the history cleared) says nothing.
    if (m_shownQuery == std::exchange(m_announcedQuery, m_shownQuery))
        return;
    if (m_screenReaderActive())
        m_announcer->stateChanged(m_status->text());
}

void HistoryWindow::showContext(const QModelIndex &index)
{
    const HistoryLine *line = m_resultModel->lineAt(index.row());
    if (!line)
        return;
    m_contextId = line->id;
    markingDelegate(m_context)->query = m_shownQuery;
    m_contextRequest = m_history.requestAround(line->id, contextLines);
}

void HistoryWindow::showSettings()
{
    const bool usable = m_history.state() != History::State::Off;
    const HistorySettings settings = m_history.settings();
    const QSignalBlocker savingBlocker(m_saving);
    m_saving->setChecked(settings.saving);
    m_keep->setCurrentIndex(std::max(0, m_keep->findData(settings.keepMonths)));
    for (QWidget *control : {static_cast<QWidget *>(m_saving), static_cast<QWidget *>(m_keep),
                             static_cast<QWidget *>(m_export), static_cast<QWidget *>(m_clear)})
        control->setEnabled(usable);
    if (!usable)
        m_status->setText(QStringLiteral("履歴は使えません"));
}

void HistoryWindow::exportShown()
{
    exportTo(false);
}

void HistoryWindow::exportAll()
{
    exportTo(true);
}

void HistoryWindow::exportTo(bool all)
{
    HistoryExport::Format format = HistoryExport::Format::Text;
    const QString path = m_dialogs.exportFileName(this, format);
    if (path.isEmpty())
        return;
    if (all)
        m_history.exportAll(path, format);
    else
        m_history.exportLines(path, format, m_resultModel->lines());
}

void HistoryWindow::clearAsking()
{
    if (m_dialogs.confirmClear(this))
        m_history.clear();
}

bool HistoryWindow::keepsLess(int months, int current)
{
    // 0 keeps every line.
    return months != 0 && (current == 0 || months < current);
}

bool HistoryWindow::chooseKeepMonths(int months, QWidget *dialogParent)
{
    const int current = m_history.settings().keepMonths;
    const int shown = m_keep->findData(months);
    if (months == current || shown < 0) {
        showSettings();
        return false;
    }
    if (keepsLess(months, current) &&
        !m_dialogs.confirmShorterKeep(dialogParent ? dialogParent : this, m_keep->itemText(shown))) {
        showSettings();
        return false;
    }
    m_history.setKeepMonths(months);
    return true;
}

void HistoryWindow::copySelection(QTreeView *view)
{
    QList<int> rows;
    for (const QModelIndex &index : view->selectionModel()->selectedRows())
        rows.append(index.row());
    const auto *model = static_cast<HistoryListModel *>(view->model());
    QGuiApplication::clipboard()->setText(model->copyText(rows));
}
