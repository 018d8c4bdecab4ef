#include "transferswindow.h"

#include "app/urlopener.h"
#include "base/scheduler.h"
#include "filedownloads.h"
#include "transferlistmodel.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>

TransfersWindow::TransfersWindow(FileDownloads &downloads, Scheduler &scheduler, UrlOpener &urlOpener,
                                 QWidget *parent)
    : QWidget(parent, Qt::Window), m_downloads(downloads), m_urlOpener(urlOpener),
      m_timer(scheduler.createTimer(Timer::Repeating, Qt::CoarseTimer))
{
    setObjectName(QStringLiteral("TransfersWindow"));
    setWindowTitle(QStringLiteral("ダウンロード"));
    setAccessibleName(QStringLiteral("ダウンロード"));
    m_model = new TransferListModel(this);
    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("transfers"));
    m_table->setAccessibleName(QStringLiteral("ダウンロードの一覧"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setTabKeyNavigation(false);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->horizontalHeader()->resizeSection(TransferListModel::Name, 160);
    m_table->horizontalHeader()->resizeSection(TransferListModel::Progress, 170);
    m_table->horizontalHeader()->resizeSection(TransferListModel::Speed, 90);
    m_table->horizontalHeader()->resizeSection(TransferListModel::TimeLeft, 70);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 8);
    m_cancel = new QPushButton(QStringLiteral("キャンセル(&C)"), this);
    m_cancel->setObjectName(QStringLiteral("cancelDownload"));
    m_cancel->setAccessibleName(QStringLiteral("キャンセル"));
    m_folder = new QPushButton(QStringLiteral("フォルダを開く(&F)"), this);
    m_folder->setObjectName(QStringLiteral("openFolder"));
    m_folder->setAccessibleName(QStringLiteral("フォルダを開く"));

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_folder);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addLayout(buttons);
    resize(760, 280);

    connect(m_cancel, &QPushButton::clicked, this, [this] {
        if (const int row = selectedRow(); row >= 0)
            m_downloads.cancel(m_model->transfer(row).id);
    });
    connect(m_folder, &QPushButton::clicked, this, [this] {
        if (const int row = selectedRow(); row >= 0)
            m_urlOpener.openUrl(
                QUrl::fromLocalFile(QFileInfo(m_model->transfer(row).target).absolutePath()).toString());
    });
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TransfersWindow::updateButtons);
    connect(m_model, &QAbstractItemModel::modelReset, this, &TransfersWindow::updateButtons);
    connect(m_model, &QAbstractItemModel::dataChanged, this, &TransfersWindow::updateButtons);
    connect(&m_downloads, &FileDownloads::changed, this, &TransfersWindow::refresh);
    connect(&m_downloads, &FileDownloads::finished, this, &TransfersWindow::refresh);
    connect(&m_downloads, &FileDownloads::failed, this, &TransfersWindow::refresh);
    connect(m_timer.get(), &Timer::timeout, this, &TransfersWindow::refresh);
    refresh();
}

TransfersWindow::~TransfersWindow() = default;

void TransfersWindow::refresh()
{
    m_model->setTransfers(m_downloads.transfers());
    updateButtons();
}

void TransfersWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
    m_timer->start(refreshMs);
}

void TransfersWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_timer->stop();
}

int TransfersWindow::selectedRow() const
{
    const QModelIndexList rows = m_table->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void TransfersWindow::updateButtons()
{
    const int row = selectedRow();
    // An upload is the sender's to stop; 受け取りをやめる in the shares window closes its drop point.
    const bool open = row >= 0 && m_model->transfer(row).from.isEmpty() &&
                      (m_model->transfer(row).state == TransferRow::State::Running ||
                       m_model->transfer(row).state == TransferRow::State::Waiting);
    m_cancel->setEnabled(open);
    m_folder->setEnabled(row >= 0);
}
