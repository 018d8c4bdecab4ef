#pragma once

#include <QWidget>
#include <functional>
#include <memory>

class DropPointListModel;
class FileSharing;
class QPushButton;
class QTableView;
class Scheduler;
class ShareListModel;
class Timer;

// "共有中のファイル": the shares, their downloads and how long each lasts, and below them the open
// drop points, who may send into each, what arrived and how long each lasts; stops the chosen
// share or drop point. Looks again once a second while shown, for the counts and the time left.
class SharesWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int refreshMs = 1000;

    SharesWindow(FileSharing &sharing, Scheduler &scheduler, std::function<QString(const QString &)> nameOf,
                 QWidget *parent = nullptr);
    ~SharesWindow() override;

    QTableView *table() const { return m_table; }
    ShareListModel *model() const { return m_model; }
    QPushButton *stopButton() const { return m_stop; }
    QTableView *dropTable() const { return m_dropTable; }
    DropPointListModel *dropModel() const { return m_dropModel; }
    QPushButton *copyLinkButton() const { return m_copyLink; }
    QPushButton *stopReceivingButton() const { return m_stopReceiving; }
    void refresh();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void stopSelected();
    void updateButton();
    // The chosen drop point's row; -1 for none.
    int chosenDropPoint() const;

    FileSharing &m_sharing;
    std::unique_ptr<Timer> m_timer;
    ShareListModel *m_model = nullptr;
    QTableView *m_table = nullptr;
    QPushButton *m_stop = nullptr;
    DropPointListModel *m_dropModel = nullptr;
    QTableView *m_dropTable = nullptr;
    QPushButton *m_copyLink = nullptr;
    QPushButton *m_stopReceiving = nullptr;
};
