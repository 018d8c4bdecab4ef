#pragma once

#include "history/historyexport.h"
#include "history/historyline.h"

#include <QWidget>
#include <functional>
#include <memory>

class AnnouncementLabel;
class Announcer;
class History;
class HistoryListModel;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;
class Scheduler;
class Timer;

// What the history window asks the user, behind a seam so tests can answer.
class HistoryDialogs
{
public:
    virtual ~HistoryDialogs();
    // The file to export to, and its format; empty when the user cancelled.
    virtual QString exportFileName(QWidget *parent, HistoryExport::Format &format) = 0;
    virtual bool confirmClear(QWidget *parent) = 0;
    // Whether to keep lines for period (its caption: "1か月") only, deleting the older ones.
    virtual bool confirmShorterKeep(QWidget *parent, const QString &period) = 0;
    // Something went wrong that the user asked for.
    virtual void tell(QWidget *parent, const QString &text) = 0;
};

// QFileDialog and QMessageBox.
class WidgetHistoryDialogs : public HistoryDialogs
{
public:
    QString exportFileName(QWidget *parent, HistoryExport::Format &format) override;
    bool confirmClear(QWidget *parent) override;
    bool confirmShorterKeep(QWidget *parent, const QString &period) override;
    void tell(QWidget *parent, const QString &text) override;
};

// "履歴": the newest lines, a search as the user types, the lines around a chosen result, and the
// history's commands. Shows what History finds; never waits for it. The count a search found is
// announced to a screen reader, once per search.
class HistoryWindow : public QWidget
{
    Q_OBJECT

public:
    // How long typing must pause before a search starts.
    static constexpr int searchDelayMs = 200;
    static constexpr int newestLines = 500;
    static constexpr int resultLines = 200;
    static constexpr int contextLines = 25; // before and after the chosen line

    // screenReaderActive says whether anyone listens to announcements; QAccessible::isActive()
    // when not given.
    HistoryWindow(History &history, Scheduler &scheduler, HistoryDialogs &dialogs, QWidget *parent = nullptr,
                  std::function<bool()> screenReaderActive = {});
    ~HistoryWindow() override;

    // Shows the window (raised) with the focus in the search field.
    void openSearch();

    // The commands, also reached from the main window's menu.
    void exportShown();
    void exportAll();
    void clearAsking();
    // Sets the keep period (months, 0 for no limit); a shorter one only once the user agreed,
    // asked over dialogParent (this window when null). False when the period stays as it was.
    bool chooseKeepMonths(int months, QWidget *dialogParent = nullptr);
    // Whether keeping lines for months instead of for current deletes lines.
    static bool keepsLess(int months, int current);

    QLineEdit *searchField() const { return m_search; }
    QTreeView *results() const { return m_results; }
    QTreeView *context() const { return m_context; }
    HistoryListModel *resultModel() const { return m_resultModel; }
    HistoryListModel *contextModel() const { return m_contextModel; }
    QLabel *status() const { return m_status; }
    Announcer *announcer() const { return m_announcer; }
    AnnouncementLabel *announcement() const { return m_announcement; }

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void startSearch();
    void showFound(quint64 request, const HistoryLines &lines);
    void showContext(const QModelIndex &index);
    void showSettings();
    void announceCount();
    void exportTo(bool all);
    void copySelection(QTreeView *view);
    QTreeView *makeList(HistoryListModel *model, const QString &accessibleName);

    History &m_history;
    HistoryDialogs &m_dialogs;
    std::function<bool()> m_screenReaderActive;
    std::unique_ptr<Timer> m_searchTimer;
    QLineEdit *m_search = nullptr;
    QLabel *m_status = nullptr;
    HistoryListModel *m_resultModel = nullptr;
    HistoryListModel *m_contextModel = nullptr;
    QTreeView *m_results = nullptr;
    QTreeView *m_context = nullptr;
    QCheckBox *m_saving = nullptr;
    QComboBox *m_keep = nullptr;
    QPushButton *m_export = nullptr;
    QPushButton *m_clear = nullptr;
    Announcer *m_announcer = nullptr;
    AnnouncementLabel *m_announcement = nullptr;
    quint64 m_listRequest = 0;
    quint64 m_contextRequest = 0;
    qint64 m_contextId = 0;
    QString m_shownQuery;     // the query the results were found for; empty for the newest lines
    QString m_pendingQuery;   // the query of m_listRequest
    QString m_announcedQuery; // the query whose count a screen reader was last told
    bool m_followNewest = false;
};
