#pragma once

#include "services.h"
#include "settingsrecord.h"

#include <QString>
#include <memory>

class ChatSession;
class Form1;
class NetworkFollower;
class NetworkWatcher;

// One instance of the program: its settings record, its chat session and its main window.
class Module1
{
public:
    // The watcher, when given, must outlive this; without one the address is never looked at again.
    Module1(Services &services, const QString &executableFolder, NetworkWatcher *networkWatcher = nullptr);
    ~Module1();

    // Start-up: settings, main window, addresses, sockets, show, announce, then watching the
    // network so that the chat follows the machine to another address. On failure the user has
    // seen the "err" box and nothing was shown or sent; returns false.
    bool Main();

    SettingsRecord &record() { return m_record; }
    Form1 *form1() const { return m_form1.get(); }

    // The folder with exactly one trailing separator.
    static QString appFolderOf(const QString &folder);

private:
    bool fail(const QString &description);

    Services &m_services;
    QString m_executableFolder;
    NetworkWatcher *m_networkWatcher;
    SettingsRecord m_record;
    // Declared before the window, which uses it until it is gone.
    std::unique_ptr<ChatSession> m_session;
    std::unique_ptr<NetworkFollower> m_follower;
    std::unique_ptr<Form1> m_form1;
};
