#include "desktopalerts.h"

#include "badgeandnotifications.h"
#include "base/scheduler.h"

#include <algorithm>

namespace {

constexpr int callWindowMs = 1000;

// At most max characters, never ending inside a surrogate pair.
QString capped(const QString &text, qsizetype max)
{
    if (text.size() <= max)
        return text;
    qsizetype cut = std::max<qsizetype>(0, max - 1);
    if (cut > 0 && text.at(cut - 1).isHighSurrogate())
        --cut;
    return text.left(cut) + QChar(0x2026);
}

} // namespace

struct DesktopAlerts::Sender
{
    QString key;
    QString name;
    QString text;
    // Lines the notification on screen, or the next one, stands for.
    int lines = 0;
    // Lines not yet sent.
    int unsent = 0;
    quint32 id = 0;
    // The call not answered yet; a further call would make a second notification.
    quint64 inFlight = 0;
    quint64 touched = 0;
    std::unique_ptr<Timer> coolDown;
};

DesktopAlerts::DesktopAlerts(BadgeAndNotifications &desktop, Scheduler &scheduler, AlertLimits limits,
                             QObject *parent)
    : QObject(parent), m_desktop(desktop), m_scheduler(scheduler), m_limits(limits)
{
    for (int i = 0; i < m_limits.callsPerSecond; ++i) {
        m_callSlots.push_back(m_scheduler.createTimer(Timer::SingleShot, Qt::CoarseTimer));
        connect(m_callSlots.back().get(), &Timer::timeout, this, &DesktopAlerts::dispatch);
    }
    connect(&m_desktop, &BadgeAndNotifications::notificationShown, this, &DesktopAlerts::onShown);
    connect(&m_desktop, &BadgeAndNotifications::notificationFailed, this, &DesktopAlerts::onFailed);
    connect(&m_desktop, &BadgeAndNotifications::notificationClosed, this, &DesktopAlerts::onClosed);
    connect(&m_desktop, &BadgeAndNotifications::actionInvoked, this, &DesktopAlerts::onAction);
}

DesktopAlerts::~DesktopAlerts() = default;

QString DesktopAlerts::escaped(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c == QLatin1Char('&'))
            out += QLatin1String("&amp;");
        else if (c == QLatin1Char('<'))
            out += QLatin1String("&lt;");
        else if (c == QLatin1Char('>'))
            out += QLatin1String("&gt;");
        else
            out += c;
    }
    return out;
}

QString DesktopAlerts::body(const QString &text, int lines, qsizetype maxCharacters)
{
    const QString marker = QStringLiteral("-Only");
    const QString line = text.endsWith(marker) ? text.chopped(marker.size()) : text;
    QString out = escaped(capped(line, maxCharacters));
    if (lines > 1)
        out += QStringLiteral("\n（%1件）").arg(lines);
    return out;
}

void DesktopAlerts::lineArrived(const QString &senderAddress, const QString &senderName, const QString &text)
{
    Sender *sender = find(senderAddress);
    if (!sender) {
        sender = makeRoom();
        if (!sender)
            return;
        sender->key = senderAddress.left(m_limits.nameCharacters);
    }
    // Held cut to size: a peer decides how long its texts are.
    sender->name = capped(senderName, m_limits.nameCharacters);
    sender->text = capped(text, m_limits.textCharacters + 5);
    sender->lines = std::min(sender->lines + 1, 1000000);
    sender->unsent = std::min(sender->unsent + 1, 1000000);
    sender->touched = m_nextTouch++;
    dispatch();
}

DesktopAlerts::Sender *DesktopAlerts::find(const QString &key) const
{
    for (const auto &sender : m_senders) {
        if (sender->key == key.left(m_limits.nameCharacters))
            return sender.get();
    }
    return nullptr;
}

// A new sender's entry; at the limit the longest idle one with nothing to send goes (its
// notification stays, a later line starts a new one). Null when every one still has lines to show.
DesktopAlerts::Sender *DesktopAlerts::makeRoom()
{
    if (int(m_senders.size()) >= m_limits.senders) {
        const Sender *idlest = nullptr;
        for (const auto &sender : m_senders) {
            if (sender->unsent == 0 && sender->inFlight == 0 &&
                (!idlest || sender->touched < idlest->touched))
                idlest = sender.get();
        }
        if (!idlest)
            return nullptr;
        remove(idlest);
    }
    auto sender = std::make_unique<Sender>();
    sender->coolDown = m_scheduler.createTimer(Timer::SingleShot, Qt::CoarseTimer);
    connect(sender->coolDown.get(), &Timer::timeout, this, &DesktopAlerts::dispatch);
    m_senders.push_back(std::move(sender));
    return m_senders.back().get();
}

// Sends what the limits allow now, the senders waiting longest first; the rest waits for a timer
// or an answer.
void DesktopAlerts::dispatch()
{
    for (;;) {
        const auto slot =
            std::find_if(m_callSlots.begin(), m_callSlots.end(),
                         [](const std::unique_ptr<Timer> &timer) { return !timer->isActive(); });
        if (slot == m_callSlots.end())
            return;
        Sender *next = nullptr;
        for (const auto &sender : m_senders) {
            if (sender->unsent > 0 && sender->inFlight == 0 && !sender->coolDown->isActive() &&
                (!next || sender->touched < next->touched))
                next = sender.get();
        }
        if (!next)
            return;
        (*slot)->start(callWindowMs);
        send(*next);
    }
}

void DesktopAlerts::send(Sender &sender)
{
    sender.unsent = 0;
    sender.inFlight = m_nextSerial++;
    sender.coolDown->start(m_limits.perSenderIntervalMs);
    m_desktop.notify({sender.inFlight, sender.id, escaped(sender.name),
                      body(sender.text, sender.lines, m_limits.textCharacters)});
}

void DesktopAlerts::remove(const Sender *sender)
{
    std::erase_if(m_senders, [sender](const std::unique_ptr<Sender> &s) { return s.get() == sender; });
}

void DesktopAlerts::setNewCount(qint16 newCount)
{
    if (newCount == m_badge)
        return;
    m_badge = newCount;
    m_desktop.setBadge(newCount);
}

void DesktopAlerts::seen()
{
    for (const auto &sender : m_senders) {
        if (sender->id != 0)
            m_desktop.closeNotification(sender->id);
    }
    m_senders.clear();
}

void DesktopAlerts::onShown(quint64 serial, quint32 id)
{
    for (const auto &sender : m_senders) {
        if (sender->inFlight == serial) {
            sender->inFlight = 0;
            sender->id = id;
            dispatch();
            return;
        }
    }
    // Answered after the user had seen the lines.
    if (id != 0)
        m_desktop.closeNotification(id);
}

void DesktopAlerts::onFailed(quint64 serial)
{
    for (const auto &sender : m_senders) {
        if (sender->inFlight == serial) {
            sender->inFlight = 0;
            dispatch();
            return;
        }
    }
}

void DesktopAlerts::onClosed(quint32 id)
{
    if (id == 0)
        return;
    for (const auto &sender : m_senders) {
        if (sender->id != id)
            continue;
        sender->id = 0;
        // Lines not shown yet start a notification of their own.
        sender->lines = sender->unsent;
        if (sender->lines == 0 && sender->inFlight == 0)
            remove(sender.get());
        return;
    }
}

void DesktopAlerts::onAction(quint32 id, const QString &action)
{
    if (id == 0 || action != QLatin1String("default"))
        return;
    const bool ours = std::any_of(m_senders.begin(), m_senders.end(),
                                  [id](const std::unique_ptr<Sender> &sender) { return sender->id == id; });
    if (ours)
        emit openRequested();
}
