#pragma once

#include <QWidget>
#include <memory>

class FileDownloads;
class QPushButton;
class QTableView;
class Scheduler;
class Timer;
class TransferListModel;
class UrlOpener;

// "ダウンロード": the downloads with their progress, speed, time left and state; cancels one and
// opens the folder it goes to.
class TransfersWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int refreshMs = 1000;

    TransfersWindow(FileDownloads &downloads, Scheduler &scheduler, UrlOpener &urlOpener,
                    QWidget *parent = nullptr);
    ~TransfersWindow() override;

    QTableView *table() const { return m_table; }
    TransferListModel *model() const { return m_model; }
    QPushButton *cancelButton() const { return m_cancel; }
    QPushButton *folderButton() const { return m_folder; }
    void refresh();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    int selectedRow() const;
    void updateButtons();

    FileDownloads &m_downloads;
    UrlOpener &m_urlOpener;
    std::unique_ptr<Timer> m_timer;
    TransferListModel *m_model = nullptr;
    QTableView *m_table = nullptr;
    QPushButton *m_cancel = nullptr;
    QPushButton *m_folder = nullptr;
};
