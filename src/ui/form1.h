#pragma once

#include "app/services.h"
#include "app/settingschange.h"
#include "app/settingsrecord.h"
#include "layout.h"
#include "share/sharelinks.h"

#include <QMainWindow>
#include <QPointer>

class AnnouncementLabel;
class DropPointDialog;
class FileDownloads;
class FileSharing;
class FileStrip;
class QMimeData;
class QUrl;
class SaveDialogs;
class SharesWindow;
class TransfersWindow;
class Announcer;
class ChatSession;
class EntryListView;
class Form2;
class Form3;
class ParticipantListView;
class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class TitleIndicator;

// The chat window: input line, chat log, participant list, the "Option" menu, the title
// indicator and the popup, over the chat session that Module1 hands it. It shows and asks; what
// follows from closing, "Top" and the settings dialog is Module1's.
class Form1 : public QMainWindow
{
    Q_OBJECT

public:
    // The home page that "作者HP" opens.
    static const QString authorHomePage;

    Form1(const SettingsRecord &record, Services &services, ChatSession &session,
          SettingsChange::Apply applySettings, QWidget *parent = nullptr);
    ~Form1() override;

    ChatSession *session() const { return m_session; }
    TitleIndicator *indicator() const { return m_indicator; }
    QAction *setMM(int index) const { return m_setMM[index]; }
    QLineEdit *text1() const { return m_text1; }
    EntryListView *list1() const { return m_list1; }
    ParticipantListView *list2() const { return m_list2; }
    QCheckBox *check1() const { return m_check1; }
    QPushButton *command1() const { return m_command1; }
    Form3 *popup() const;
    Form2 *settingsDialog() const;
    ControlsGeometry controlsGeometry() const { return m_controls; }
    Announcer *announcer() const { return m_announcer; }
    AnnouncementLabel *announcement() const { return m_announcement; }

    // The outer geometry (frame included) in twips; the normal geometry while minimized or maximized.
    WindowGeometryTwips outerGeometryTwips() const;
    // The always-on-top state with the caption of setMM(1) that goes with it.
    void applyTopMost(bool on);
    void setMMClick(int index);
    // The popup, named for a screen reader with the sender and the line.
    void showPopup(const QString &name, const QString &text);
    // The caption of setMM(1), with its mnemonic: "Top" or "No Top".
    static QString topCaption(bool on);
    bool isLeaving() const { return m_leaving; }
    // Brought back from the task bar or a notification.
    void openFromDesktop();
    // The leaving sequence runs: the title stays, the popup and the settings dialog close.
    void prepareToLeave();
    // The history's settings as the menu "履歴" shows them; its commands only while it can be used.
    void showHistorySettings(bool saving, int keepMonths, bool usable);

    // Sending and fetching files: the menu "ファイル" works, files dropped or pasted wait in the
    // strip, and share links in the log are saved. All three must outlive the window.
    void attachSharing(FileSharing &sharing, FileDownloads &downloads, SaveDialogs &dialogs);
    FileStrip *fileStrip() const { return m_files; }
    // Puts the files in the strip; those that cannot be shared are told in the chat log.
    void addFilesToSend(const QStringList &paths);
    // Enter or a double click on a log row: a share link is saved, another link opened.
    // The links in the chat log's entry at row (the entry itself into entry); none for no entry.
    QList<ShareLinks::FoundLink> linksOfEntry(int row, QString &entry) const;
    void activateEntry(int row);
    // Made when first asked for; nullptr before attachSharing.
    SharesWindow *sharesWindow();
    // The question before a drop point opens, while it is up.
    DropPointDialog *dropPointDialog() const;
    TransfersWindow *transfersWindow();
    // The input line's context menu, its paste command sending files to the strip; the caller owns it.
    QMenu *createText1Menu();
    // The local files among dropped or pasted data; empty when there are none.
    static QStringList localFiles(const QMimeData *data);

signals:
    // Closed by its close box, "End", a port change or the session's end: the leaving sequence
    // starts. Emitted once.
    void closed();
    // "Top" chose the always-on-top state.
    void topMostChosen(bool on);
    // Restored or activated: the user sees the window again.
    void seen();
    // The menu "履歴": requests only; Module1 acts on them.
    void historySearchRequested();
    void historySavingChosen(bool on);
    void historyKeepChosen(int months); // 0: always
    void historyExportRequested();
    void historyClearRequested();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void createControls();
    void createMenu();
    void createHistoryMenu();
    void load();
    void onResize();
    void applyControls();
    void sendDecision();
    bool sendLine(const QString &text);
    // To everybody, or to the selected participants with 選択のみ ticked; the failures.
    QStringList sendToChosen(const QString &text);
    // The addresses of the selected participants with 選択のみ ticked; empty: everybody.
    QStringList chosenAddresses() const;
    // 選択のみ ticked with nobody selected: told, and true.
    bool nobodyChosen(const QString &title);
    void askForDropPoint();
    void openDropPoint(ShareLifetime lifetime, qint64 sizeLimit);
    QString participantName(const QString &address) const;
    void createShareMenu();
    void saveLink(const QString &entry, int link);
    void askWhereToSave(const QUrl &url, const QString &name);
    void showEntryMenu(int row, const QPoint &globalPos);
    void tellOutcome(const QString &text);
    void tellArrival(const QString &text);
    // Files on the clipboard go to the strip; false when it holds none.
    bool pasteFiles();
    void announceNewEntries(int first, int last);
    void updateAccessibleName();

    const SettingsRecord &m_record;
    Services &m_services;
    ChatSession *m_session;
    SettingsChange::Apply m_applySettings;
    TitleIndicator *m_indicator;

    QLineEdit *m_text1 = nullptr;
    EntryListView *m_list1 = nullptr;
    QPushButton *m_command1 = nullptr;
    ParticipantListView *m_list2 = nullptr;
    QLabel *m_label1 = nullptr;
    QCheckBox *m_check1 = nullptr;
    QAction *m_setMM[5] = {};
    Announcer *m_announcer = nullptr;
    AnnouncementLabel *m_announcement = nullptr;
    bool m_check1Clicked = false;
    QMenu *m_historyMenu = nullptr;
    QMenu *m_shareMenu = nullptr;
    FileStrip *m_files = nullptr;
    FileSharing *m_sharing = nullptr;
    FileDownloads *m_downloads = nullptr;
    SaveDialogs *m_saveDialogs = nullptr;
    QPointer<SharesWindow> m_sharesWindow;
    QPointer<TransfersWindow> m_transfersWindow;
    QPointer<DropPointDialog> m_dropPointDialog;
    bool m_outcomeSpoken = false;
    // Log rows about to come that are spoken otherwise (the popup) or not at all (the own line).
    int m_rowsNotAnnounced = 0;
    // The sender is being asked for a file's name: the save dialog is not open yet.
    bool m_askingName = false;

    ControlsGeometry m_controls;
    QPointer<Form3> m_form3;
    QPointer<Form2> m_form2;
    WindowGeometryTwips m_restoredOuter;
    bool m_restoring = false;
    bool m_fitPending = false;
    bool m_leaving = false;
};
