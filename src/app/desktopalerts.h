#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <vector>

class BadgeAndNotifications;
class Scheduler;
class Timer;

// What notifications a flood of peer lines can cost.
struct AlertLimits
{
    int perSenderIntervalMs = 1000;
    // Calls in any one second, all senders together.
    int callsPerSecond = 5;
    // Senders remembered at once; a spoofed address per line must not grow this.
    int senders = 64;
    qsizetype nameCharacters = 64;
    qsizetype textCharacters = 500;
};

// The desktop's signs of new lines outside the window: the launcher badge follows the count of
// lines that arrived while minimized, and selected-only lines become notifications, one per sender
// on screen, the newest line replacing the previous one at a bounded rate.
class DesktopAlerts : public QObject
{
    Q_OBJECT

public:
    DesktopAlerts(BadgeAndNotifications &desktop, Scheduler &scheduler, AlertLimits limits = {},
                  QObject *parent = nullptr);
    ~DesktopAlerts() override;

    // A selected-only line from another instance; the key is its sender address.
    void lineArrived(const QString &senderAddress, const QString &senderName, const QString &text);
    void setNewCount(qint16 newCount);
    // The user looks at the window: every notification of ours goes, and is forgotten.
    void seen();

    int sendersHeld() const { return int(m_senders.size()); }

    // Plain text made safe for a server that renders markup.
    static QString escaped(const QString &text);
    // The line without its trailing "-Only", cut to at most maxCharacters, escaped, then the count
    // of lines it stands for when there are several.
    static QString body(const QString &text, int lines, qsizetype maxCharacters);

signals:
    // The user chose to open the chat from one of the notifications.
    void openRequested();

private:
    struct Sender;

    Sender *find(const QString &key) const;
    Sender *makeRoom();
    void dispatch();
    void send(Sender &sender);
    void remove(const Sender *sender);
    void onShown(quint64 serial, quint32 id);
    void onFailed(quint64 serial);
    void onClosed(quint32 id);
    void onAction(quint32 id, const QString &action);

    BadgeAndNotifications &m_desktop;
    Scheduler &m_scheduler;
    AlertLimits m_limits;
    std::vector<std::unique_ptr<Sender>> m_senders;
    // One per call in the last second; a call needs an idle one.
    std::vector<std::unique_ptr<Timer>> m_callSlots;
    quint64 m_nextSerial = 1;
    quint64 m_nextTouch = 1;
    qint16 m_badge = 0;
};
