#include "shareswindow.h"

#include "base/scheduler.h"
#include "droppointlistmodel.h"
#include "filesharing.h"
#include "sharelistmodel.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
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
    m_model = new ShareListModel(nameOf, this);
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

    m_dropModel = new DropPointListModel(std::move(nameOf), this);
    m_dropTable = makeTable(m_dropModel, this);
    m_dropTable->setObjectName(QStringLiteral("dropPoints"));
    m_dropTable->setAccessibleName(QStringLiteral("受け取り口の一覧"));
    m_dropTable->horizontalHeader()->resizeSection(DropPointListModel::Link, 300);
    m_dropTable->horizontalHeader()->resizeSection(DropPointListModel::Senders, 150);
    m_dropTable->horizontalHeader()->resizeSection(DropPointListModel::Received, 170);
    m_dropTable->verticalHeader()->setDefaultSectionSize(m_table->verticalHeader()->defaultSectionSize());
    m_copyLink = new QPushButton(QStringLiteral("リンクをコピー(&C)"), this);
    m_copyLink->setObjectName(QStringLiteral("copyDropLink"));
    m_copyLink->setAccessibleName(QStringLiteral("リンクをコピー"));
    m_stopReceiving = new QPushButton(QStringLiteral("受け取りをやめる(&R)"), this);
    m_stopReceiving->setObjectName(QStringLiteral("stopReceiving"));
    m_stopReceiving->setAccessibleName(QStringLiteral("受け取りをやめる"));

    auto *sharesLabel = new QLabel(QStringLiteral("共有中のファイル(&F)"), this);
    sharesLabel->setBuddy(m_table);
    auto *dropLabel = new QLabel(QStringLiteral("受け取り口(&U)"), this);
    dropLabel->setBuddy(m_dropTable);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_stop);
    auto *dropButtons = new QHBoxLayout;
    dropButtons->addStretch();
    dropButtons->addWidget(m_copyLink);
    dropButtons->addWidget(m_stopReceiving);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(sharesLabel);
    layout->addWidget(m_table, 3);
    layout->addLayout(buttons);
    layout->addSpacing(8);
    layout->addWidget(dropLabel);
    layout->addWidget(m_dropTable, 2);
    layout->addLayout(dropButtons);
    resize(760, 460);

    connect(m_stop, &QPushButton::clicked, this, &SharesWindow::stopSelected);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &SharesWindow::updateButton);
    connect(m_model, &QAbstractItemModel::modelReset, this, &SharesWindow::updateButton);
    connect(m_dropTable->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &SharesWindow::updateButton);
    connect(m_dropModel, &QAbstractItemModel::modelReset, this, &SharesWindow::updateButton);
    connect(m_copyLink, &QPushButton::clicked, this, [this] {
        if (const int row = chosenDropPoint(); row >= 0)
            QGuiApplication::clipboard()->setText(m_dropModel->dropPoint(row).url);
    });
    connect(m_stopReceiving, &QPushButton::clicked, this, [this] {
        if (const int row = chosenDropPoint(); row >= 0) {
            m_sharing.stopDropPoint(m_dropModel->dropPoint(row).code);
            refresh();
        }
    });
    connect(&m_sharing, &FileSharing::changed, this, &SharesWindow::refresh);
    connect(m_timer.get(), &Timer::timeout, this, &SharesWindow::refresh);
    refresh();
}

SharesWindow::~SharesWindow() = default;

void SharesWindow::refresh()
{
    m_model->setShares(m_sharing.shares());
    m_dropModel->setDropPoints(m_sharing.dropPoints());
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
    const int drop = chosenDropPoint();
    m_stopReceiving->setEnabled(drop >= 0);
    m_copyLink->setEnabled(drop >= 0 && !m_dropModel->dropPoint(drop).url.isEmpty());
}

int SharesWindow::chosenDropPoint() const
{
    const QModelIndexList rows = m_dropTable->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void SharesWindow::stopSelected()
{
    const QModelIndexList rows = m_table->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    m_sharing.stop(m_model->share(rows.first().row()).code);
    refresh();
}
