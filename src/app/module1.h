#pragma once

#include "services.h"
#include "settingschange.h"
#include "settingsrecord.h"

#include <QObject>
#include <QString>
#include <memory>

class ChatSession;
class DesktopAlerts;
class Form1;
class History;
class HistoryDialogs;
class HistoryWindow;
struct ChatEvent;
class NetworkFollower;
class NetworkWatcher;
class SaveDialogs;
class SharedFiles;
class Timer;

// One instance of the program: its settings record, its chat session and its main window, and
// what follows from the window's choices: the settings dialog's values, "Top", the badge and
// notifications, the attention request and the leaving sequence.
class Module1 : public QObject
{
    Q_OBJECT

public:
    // The watcher, when given, must outlive this; without one the address is never looked at again.
    Module1(Services &services, const QString &executableFolder, NetworkWatcher *networkWatcher = nullptr);
    ~Module1() override;

    // Start-up: settings, main window, addresses, sockets, show, announce, then watching the
    // network so that the chat follows the machine to another address. On failure the user has
    // seen the "err" box and nothing was shown or sent; returns false.
    bool Main();

    SettingsRecord &record() { return m_record; }
    Form1 *form1() const { return m_form1.get(); }
    ChatSession *session() const { return m_session.get(); }
    DesktopAlerts *alerts() const { return m_alerts.get(); }
    // From the join notice on; nullptr before.
    History *history() const { return m_history.get(); }
    // Made when first asked for.
    HistoryWindow &historyWindow();
    // From sharingDelayMs after the history's file was opened or found unusable; nullptr before.
    SharedFiles *sharedFiles() const { return m_sharedFiles.get(); }
    static constexpr int sharingDelayMs = 500;

    // The folder with exactly one trailing separator.
    static QString appFolderOf(const QString &folder);

signals:
    // The leaving sequence has ended, the history stored: the program ends now.
    void finished();

private:
    bool fail(const QString &description);
    void connectWindow();
    SettingsChange::Outcome applySettings(const SettingsChange::Values &values);
    void chooseTopMost(bool on);
    void askForAttention();
    void windowSeen();
    void runLeavingSequence();
    void startHistory();
    void historyLogged(const ChatEvent &event);
    void showHistorySettings();
    void historyUnavailable(const QString &logLine);
    void startSharingSoon();
    void startSharing();

    Services &m_services;
    QString m_executableFolder;
    NetworkWatcher *m_networkWatcher;
    SettingsRecord m_record;
    std::unique_ptr<Timer> m_leavingTimer;
    std::unique_ptr<Timer> m_sharingTimer;
    // Outlives the session that feeds it and the windows that show it; stores what is left when
    // it goes.
    std::unique_ptr<History> m_history;
    std::unique_ptr<HistoryDialogs> m_historyDialogs;
    // Served and fetched from the history's file, on threads of their own; outlive the window.
    std::unique_ptr<SaveDialogs> m_saveDialogs;
    std::unique_ptr<SharedFiles> m_sharedFiles;
    QString m_historyPath;
    // The history's file could not be used: the shares' and downloads' records stay in memory.
    bool m_sharesInMemory = false;
    // Declared before the window, which uses them until it is gone.
    std::unique_ptr<ChatSession> m_session;
    std::unique_ptr<DesktopAlerts> m_alerts;
    std::unique_ptr<NetworkFollower> m_follower;
    std::unique_ptr<Form1> m_form1;
    std::unique_ptr<HistoryWindow> m_historyWindow;
    bool m_attentionAsked = false;
};
