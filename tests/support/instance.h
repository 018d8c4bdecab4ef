#pragma once

#include "app/module1.h"
#include "app/services.h"
#include "fixedclock.h"
#include "manualnetworkwatcher.h"
#include "manualscheduler.h"
#include "recordingbadgeandnotifications.h"
#include "recordingmessagebox.h"
#include "recordingurlopener.h"
#include "virtuallan.h"

#include <QTemporaryDir>
#include <memory>

class ChatSession;
class Form1;

// One instance of the program on a host of the virtual LAN, with a program folder of its own
// (or a given one, to start again where a previous instance left its set.txt).
class Instance
{
public:
    // Its timers on the LAN's virtual time.
    Instance(VirtualLan &lan, ManualScheduler &time, const QString &address, const QString &hostName,
             const QString &folder = QString());
    // With the given message box, clock, shell and timers, which other instances may share; the
    // recording ones below then stay unused.
    Instance(VirtualLan &lan, const QString &address, const QString &hostName, const QString &folder,
             MessageBox &sharedBox, const Clock &sharedClock, UrlOpener &sharedShell, Scheduler &scheduler);
    ~Instance();

    // Before start(): shares and downloads on, as in the program. Its server starts only with a
    // share, so an instance that shares nothing reaches no real network.
    void enableSharing() { m_services.sharesFiles = true; }
    bool start();
    void writeSettings(const QByteArray &bytes) const;
    QByteArray settingsBytes() const;
    QString folder() const { return m_folder; }

    VirtualHost &host() const { return *m_host; }
    Module1 &module() { return *m_module; }
    SettingsRecord &record() { return m_module->record(); }
    Form1 *form() const;
    ChatSession *session() const;
    QStringList chatLog() const;
    QStringList participants() const;
    // Closes the window and lets the leaving sequence's second pass (on virtual time, or waited for
    // on real timers); true if it ended then.
    bool closeAndWait();

    RecordingMessageBox messages;
    FixedClock clock;
    RecordingUrlOpener shell;
    // Fired by the test after it changed the host's address.
    ManualNetworkWatcher networkWatcher;
    RecordingBadgeAndNotifications desktop;

private:
    ManualScheduler *m_time = nullptr;
    std::unique_ptr<VirtualHost> m_host;
    QTemporaryDir m_dir;
    QString m_folder;
    Services m_services;
    std::unique_ptr<Module1> m_module;
};

// Clicks the row of the participant at ip in the window's list, as a user picks a recipient.
void selectParticipant(Form1 *form, const QString &ip);
