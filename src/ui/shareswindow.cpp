#include "shareswindow.h"

#include "base/scheduler.h"
#include "filesharing.h"
#include "sharelistmodel.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

namespace {

QTableView *makeTable(QAbstractItemModel *model, QWidget *parent)
{
    auto *table = new QTableView(parent);
    table->setModel(model);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setTabKeyNavigation(false);
    table->setWordWrap(false);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

} // namespace

SharesWindow::SharesWindow(FileSharing &sharing, Scheduler &scheduler,
                           std::function<QString(const QString &)> nameOf, QWidget *parent)
    : QWidget(parent, Qt::Window), m_sharing(sharing),
      m_timer(scheduler.createTimer(Timer::Repeating, Qt::CoarseTimer))
{
    setObjectName(QStringLiteral("SharesWindow"));
    setWindowTitle(QStringLiteral("共有中のファイル"));
    setAccessibleName(QStringLiteral("共有中のファイル"));
    m_model = new ShareListModel(std::move(nameOf), this);
    m_table = makeTable(m_model, this);
    m_table->setObjectName(QStringLiteral("shares"));
    m_table->setAccessibleName(QStringLiteral("共有中のファイルの一覧"));
    m_table->horizontalHeader()->resizeSection(ShareListModel::Name, 170);
    m_table->horizontalHeader()->resizeSection(ShareListModel::Size, 80);
    m_table->horizontalHeader()->resizeSection(ShareListModel::Recipients, 150);
    m_table->horizontalHeader()->resizeSection(ShareListModel::Downloads, 170);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 8);
    m_stop = new QPushButton(QStringLiteral("共有をやめる(&S)"), this);
    m_stop->setObjectName(QStringLiteral("stopSharing"));
    m_stop->setAccessibleName(QStringLiteral("共有をやめる"));

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_stop);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addLayout(buttons);
    resize(720, 280);

    connect(m_stop, &QPushButton::clicked, this, &SharesWindow::stopSelected);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &SharesWindow::updateButton);
    connect(m_model, &QAbstractItemModel::modelReset, this, &SharesWindow::updateButton);
    connect(&m_sharing, &FileSharing::changed, this, &SharesWindow::refresh);
    connect(m_timer.get(), &Timer::timeout, this, &SharesWindow::refresh);
    refresh();
}

SharesWindow::~SharesWindow() = default;

void SharesWindow::refresh()
{
    m_model->setShares(m_sharing.shares());
    updateButton();
}

void SharesWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
    m_timer->start(refreshMs);
}

void SharesWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_timer->stop();
}

void SharesWindow::updateButton()
{
    m_stop->setEnabled(m_table->selectionModel()->hasSelection());
}

void SharesWindow::stopSelected()
{
    const QModelIndexList rows = m_table->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    m_sharing.stop(m_model->share(rows.first().row()).code);
    refresh();
}
