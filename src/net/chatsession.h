#pragma once

#include "app/settingsrecord.h"
#include "base/timer.h"
#include "chatevent.h"
#include "datagramchannel.h"
#include "entrylistmodel.h"
#include "participantlistmodel.h"

#include <QObject>
#include <memory>
#include <optional>

class Clock;
class DatagramNetwork;
class Scheduler;

// What peers can make one instance hold, whatever they send.
struct SessionLimits
{
    // The most addresses a 255.255.0.0 mask spans; further joins are ignored until someone leaves.
    int participants = 65536;
    qsizetype participantCharacters = 8 * 1024 * 1024;
    // Far above any real session; the oldest entries go first.
    int logEntries = 200000;
    qsizetype logCharacters = 16 * 1024 * 1024;
};

// The two channels of one instance and what travels on them: the presence bookkeeping of the
// participant list, the chat log, sending and receiving. Needs no window.
class ChatSession : public QObject
{
    Q_OBJECT

public:
    // Takes the name, mask and port from the record as it is now; later changes come by the setters.
    // The record's localIp and broadcastAddress are written here and nowhere else.
    ChatSession(SettingsRecord &record, DatagramNetwork &network, const Clock &clock, Scheduler &scheduler,
                SessionLimits limits = {}, QObject *parent = nullptr);
    ~ChatSession() override;

    // Start-up: the local address, the broadcast address, then the chat socket wsk and the presence
    // socket wsk2 configured and bound. Returns what failed.
    std::optional<QString> open();
    // Start-up's announcement once the window is visible: the own leave notice first, so that
    // instances still listing a previous session of this machine drop it, then the join notice.
    std::optional<QString> announce();

    // Follows the machine to the address start-up would choose now (none when it has none).
    // Nothing happens while it stays the same, unless announceAgain (after a resume from suspend):
    // then the participant list is rebuilt from the answers to start-up's announcement.
    void followAddress(const std::optional<QString> &address, bool announceAgain);
    // False from the moment the machine lost its address until one came back.
    bool hasAddress() const { return !m_addressLost; }

    // s_sendData: the line to everybody. Nothing happens for an empty text (nothing is sent).
    // Returns the failures, empty on success.
    QStringList s_sendData(const QString &text);
    // s_listSend: the line to each selected participant in list order, then the own copy. A
    // failure for one destination does not stop the others.
    QStringList s_listSend(const QString &text, const QList<int> &selectedRows);

    // Values entered in the settings dialog: the next line, answer and notice carry the name; lines
    // and the leave notice go to the broadcast address of the new mask.
    void setUserName(const QString &userName);
    void setSubnetMask(const QString &subnetMask);

    // The leave notice to the current broadcast address.
    std::optional<QString> sendLeaveNotice();
    // No further datagram is handled and no answer goes out.
    void stop();

    // A line of the program's own in the chat log (with the time), not from the LAN: told nowhere else.
    void logNotice(const QString &text);

    int f_listChk(const QString &address) const;
    EntryListModel *chatLog() { return &m_chatLog; }                 // List1
    ParticipantListModel *participants() { return &m_participants; } // List2
    DatagramChannel *wsk() { return m_wsk; }
    DatagramChannel *wsk2() { return m_wsk2; }
    bool answerScheduled() const { return m_answerTimer->isActive(); }

signals:
    // A selected-only line from another instance: its name, text and sender address.
    void popupRequested(const QString &name, const QString &text, const QString &address);
    // Before the chat log shows a line that came from this machine (the user's own, back from
    // the LAN).
    void ownLineArriving();
    void chatLineLogged(); // after each chat line was appended to the chat log
    // Each entry the chat log showed, as it showed it, and each line sent to selected
    // participants; at the moment it happened.
    void logged(const ChatEvent &event);
    void chatLogGrew(); // once per batch of arrivals: scroll to the newest entry
    void participantsGrew();
    void newParticipantAnswered(); // start the indicator

private:
    void handleChatData(const QStringList &payloads);
    void handlePresenceData(const QStringList &payloads);
    int leavesOfListed(const QStringList &payloads) const;
    void sendAnswer();
    void announceAfresh();
    QString now() const;
    void trimChatLog();

    // Where the session publishes localIp and broadcastAddress; nothing else of it is read after
    // construction.
    SettingsRecord &m_record;
    QString m_userName;
    QString m_subnetMask;
    QString m_chatPort;
    DatagramNetwork &m_network;
    const Clock &m_clock;
    SessionLimits m_limits;
    DatagramChannel *m_wsk = nullptr;
    DatagramChannel *m_wsk2 = nullptr;
    EntryListModel m_chatLog;
    ParticipantListModel m_participants;
    std::unique_ptr<Timer> m_answerTimer;
    bool m_stopped = false;
    bool m_addressLost = false;
};
