#include "chatsession.h"

#include "app/broadcast.h"
#include "app/settingsfile.h"
#include "base/clock.h"
#include "base/scheduler.h"
#include "datagram.h"
#include "datagramnetwork.h"
#include "participants.h"

#include <limits>

namespace {

// A chat log entry without its TAB and time of day.
QString withoutTime(const QString &entry)
{
    return entry.left(entry.lastIndexOf(QLatin1Char('\t')));
}

// A selected-only line is kept without its mark, flagged instead.
ChatEvent lineEvent(const Datagram::Fields &fields)
{
    ChatEvent event{ChatEvent::Kind::Line, fields.field0, fields.field2, fields.field1, false, {}};
    if (Datagram::hasOnlyMarker(fields.field1)) {
        event.selectedOnly = true;
        event.text.remove(fields.field1.indexOf(Datagram::onlyMarker), Datagram::onlyMarker.size());
    }
    return event;
}

// Leaves in one pass from which on the participant list is shown anew instead of row by row.
constexpr int bulkRemovals = 16;

std::optional<quint16> portNumber(const QString &text, QString &error)
{
    const auto port = SettingsFile::chatPortNumber(text);
    if (!port)
        error = QStringLiteral(
                    "チャットのポート番号「%1」は使えません。1 から 65535 までの数字を設定してください。")
                    .arg(text);
    return port;
}

QString bindFailure(quint16 port, const QString &reason)
{
    QString text = QStringLiteral("UDP ポート %1 を使えません: %2\n").arg(port).arg(reason);
    if (port < 1024) {
        text +=
            QStringLiteral("1024 未満のポートを使うには権限が要ります。管理者に "
                           "sudo setcap cap_net_bind_service=+ep <zumzum-chat のパス> を実行してもらうか、"
                           "ほかの参加者と揃えてポート番号を変えてください。\n");
    }
    text += QStringLiteral("同じ機械でこのチャットがすでに動いているときは、そちらを使ってください。");
    return text;
}

} // namespace

ChatSession::ChatSession(SettingsRecord &record, DatagramNetwork &network, const Clock &clock,
                         Scheduler &scheduler, SessionLimits limits, QObject *parent)
    : QObject(parent), m_record(record), m_userName(record.userName), m_subnetMask(record.subnetMask),
      m_chatPort(record.chatPort), m_network(network), m_clock(clock), m_limits(limits),
      // A coarse timer may fire 5 % early, which reorders the staggered answers of neighbouring addresses.
      m_answerTimer(scheduler.createTimer(Timer::SingleShot, Qt::PreciseTimer))
{
    connect(m_answerTimer.get(), &Timer::timeout, this, &ChatSession::sendAnswer);
}

ChatSession::~ChatSession() = default;

std::optional<QString> ChatSession::open()
{
    QString error;
    const auto address = m_network.localAddress(error);
    if (!address) {
        return QStringLiteral("この機械の LAN のアドレスがわかりません（%1）。"
                              "ネットワークに接続してから、もう一度起動してください。")
            .arg(error);
    }
    m_record.localIp = address->toString();

    const BroadcastResult broadcast = s_broadcast(m_record.localIp, m_subnetMask);
    m_record.broadcastAddress = broadcast.address;
    if (broadcast.error)
        return broadcast.error;

    m_wsk = new DatagramChannel(m_network.createSocket(), this);
    m_wsk->setRemoteHost(m_record.broadcastAddress);
    const auto chatPort = portNumber(m_chatPort, error);
    if (!chatPort)
        return error;
    m_wsk->setRemotePort(*chatPort);
    if (!m_wsk->bind(*chatPort))
        return bindFailure(*chatPort, m_wsk->errorString());

    m_wsk2 = new DatagramChannel(m_network.createSocket(), this);
    // Answers to newcomers go to wsk2's remote address: start-up's broadcast address, until the
    // machine moves or the leave notice sets the current one. A mask entered meanwhile changes it
    // for lines and the leave notice only, as the Windows peers do.
    m_wsk2->setRemoteHost(m_record.broadcastAddress);
    m_wsk2->setRemotePort(Datagram::presencePort);
    if (!m_wsk2->bind(Datagram::presencePort))
        return bindFailure(Datagram::presencePort, m_wsk2->errorString());

    connect(m_wsk, &DatagramChannel::dataArrival, this, &ChatSession::handleChatData);
    connect(m_wsk2, &DatagramChannel::dataArrival, this, &ChatSession::handlePresenceData);
    return std::nullopt;
}

std::optional<QString> ChatSession::announce()
{
    // wsk2's remote address is the start-up broadcast address here.
    if (!m_wsk2->sendData(Datagram::leaveNotice(m_userName, m_record.localIp)) ||
        !m_wsk2->sendData(Datagram::joinNotice(m_userName, m_record.localIp))) {
        return QStringLiteral("参加のお知らせを %1 へ送れませんでした: %2")
            .arg(m_wsk2->remoteHost(), m_wsk2->errorString());
    }
    return std::nullopt;
}

void ChatSession::followAddress(const std::optional<QString> &address, bool announceAgain)
{
    if (m_stopped || !m_wsk2)
        return;
    // While no address is left, localIp keeps the last one: lines typed meanwhile fail to send
    // as any send without a network does, and the identity peers may still list is known.
    const QString before = m_addressLost ? QString() : m_record.localIp;
    const QString after = address.value_or(QString());
    if (after == before) {
        if (announceAgain && !after.isEmpty())
            announceAfresh();
        return;
    }
    const QString line = Participants::networkChangeLine(before, after, now());
    m_chatLog.append(line);
    trimChatLog();
    emit chatLogGrew();
    emit logged({ChatEvent::Kind::NetworkChange, {}, after, withoutTime(line), false, {}});

    // Peers drop the old identity; its broadcast address is the old one. When the address went
    // away this mostly fails, so it is tried again when an address comes back.
    if (after != m_record.localIp)
        sendLeaveNotice();
    if (after.isEmpty()) {
        m_addressLost = true;
        m_answerTimer->stop();
        m_participants.clear();
        return;
    }
    m_addressLost = false;
    m_record.localIp = after;
    // The moved-to network's broadcast address takes the place of start-up's on both channels:
    // answers to newcomers go there too until the next move. The mask is the one in force now;
    // it was checked when it was loaded or entered, and a bad one only makes the sends fail.
    m_record.broadcastAddress = s_broadcast(m_record.localIp, m_subnetMask).address;
    m_wsk->setRemoteHost(m_record.broadcastAddress);
    m_wsk2->setRemoteHost(m_record.broadcastAddress);
    announceAfresh();
}

void ChatSession::announceAfresh()
{
    // The list describes a network the machine left or slept through: peers that left meanwhile
    // were never heard leaving. The announcement's own leave notice makes every peer forget this
    // instance, so each answers its join notice and the list fills again with who is there now.
    m_participants.clear();
    announce();
}

QStringList ChatSession::s_sendData(const QString &text)
{
    if (text.isEmpty())
        return {};
    m_wsk->setRemoteHost(m_record.broadcastAddress);
    if (!m_wsk->sendData(Datagram::chatLine(m_userName, Datagram::outgoingText(text), m_record.localIp)))
        return {QStringLiteral("%1: %2").arg(m_wsk->remoteHost(), m_wsk->errorString())};
    return {};
}

QStringList ChatSession::s_listSend(const QString &text, const QList<int> &selectedRows)
{
    if (text.isEmpty())
        return {};
    const QString line =
        Datagram::selectedOnlyChatLine(m_userName, Datagram::outgoingText(text), m_record.localIp);
    QStringList failures;
    ChatEvent sent{ChatEvent::Kind::SentToSelected, m_userName, m_record.localIp,
                   Datagram::outgoingText(text),    true,       {}};
    const auto sendTo = [&](const QString &address) {
        m_wsk->setRemoteHost(address);
        if (!m_wsk->sendData(line))
            failures.append(QStringLiteral("%1: %2").arg(address, m_wsk->errorString()));
    };
    QList<int> rows = selectedRows;
    std::sort(rows.begin(), rows.end());
    for (int row : std::as_const(rows)) {
        if (row >= 0 && row < m_participants.size()) {
            sendTo(m_participants.address(row));
            sent.recipients.append(
                QStringLiteral("%1 (%2)").arg(m_participants.name(row), m_participants.address(row)));
        }
    }
    emit logged(sent);
    sendTo(m_record.localIp);
    return failures;
}

void ChatSession::setUserName(const QString &userName)
{
    m_userName = userName;
}

void ChatSession::setSubnetMask(const QString &subnetMask)
{
    m_subnetMask = subnetMask;
    m_record.broadcastAddress = s_broadcast(m_record.localIp, m_subnetMask).address;
}

std::optional<QString> ChatSession::sendLeaveNotice()
{
    if (!m_wsk2)
        return std::nullopt;
    m_wsk2->setRemoteHost(m_record.broadcastAddress);
    if (!m_wsk2->sendData(Datagram::leaveNotice(m_userName, m_record.localIp)))
        return m_wsk2->errorString();
    return std::nullopt;
}

void ChatSession::stop()
{
    m_stopped = true;
    m_answerTimer->stop();
}

int ChatSession::f_listChk(const QString &address) const
{
    return m_participants.f_listChk(address);
}

QString ChatSession::now() const
{
    return timeOfDayText(m_clock.timeOfDay());
}

void ChatSession::handleChatData(const QStringList &payloads)
{
    if (m_stopped)
        return;
    // One reading of the clock for everything that arrived in this pass.
    const QString timeOfDay = now();
    bool logged = false;
    for (const QString &payload : payloads) {
        const auto fields = Datagram::split(payload);
        if (!fields)
            continue;
        if (fields->field2 == m_record.localIp)
            emit ownLineArriving();
        else if (Datagram::hasOnlyMarker(fields->field1))
            emit popupRequested(fields->field0, fields->field1, fields->field2);
        m_chatLog.append(fields->field0 + QLatin1Char('>') + fields->field1 + QLatin1Char('\t') + timeOfDay);
        logged = true;
        emit chatLineLogged();
        emit this->logged(lineEvent(*fields));
    }
    if (logged) {
        trimChatLog();
        emit chatLogGrew();
    }
}

void ChatSession::logNotice(const QString &text)
{
    m_chatLog.append(text + QLatin1Char('\t') + now());
    trimChatLog();
    emit chatLogGrew();
}

void ChatSession::trimChatLog()
{
    int drop = std::max(0, m_chatLog.size() - m_limits.logEntries);
    qsizetype characters = m_chatLog.characters();
    for (int row = 0; row < drop; ++row)
        characters -= m_chatLog.at(row).size();
    while (characters > m_limits.logCharacters && drop < m_chatLog.size())
        characters -= m_chatLog.at(drop++).size();
    m_chatLog.removeFirst(drop);
}

int ChatSession::leavesOfListed(const QStringList &payloads) const
{
    int leaves = 0;
    for (const QString &payload : payloads) {
        const auto fields = Datagram::split(payload);
        if (fields && fields->field0 == Datagram::leaveKind && f_listChk(fields->field2) >= 0)
            ++leaves;
    }
    return leaves;
}

void ChatSession::handlePresenceData(const QStringList &payloads)
{
    if (m_stopped)
        return;
    const QString timeOfDay = now();
    bool logged = false;
    bool joined = false;
    // A table view pays for each removed row in proportion to its length: a flood of leaves is
    // shown by one reset instead.
    const bool bulk = leavesOfListed(payloads) >= bulkRemovals;
    if (bulk)
        m_participants.beginBulkChange();
    for (const QString &payload : payloads) {
        const auto fields = Datagram::split(payload);
        if (!fields)
            continue;
        if (fields->field0 == Datagram::joinKind) {
            if (fields->field2 == m_record.localIp || f_listChk(fields->field2) != -1)
                continue;
            // A full list takes nobody more, and answers nobody, until someone leaves.
            const qsizetype entrySize =
                fields->field1.size() + Participants::separator.size() + fields->field2.size();
            if (m_participants.size() >= m_limits.participants ||
                m_participants.characters() + entrySize > m_limits.participantCharacters)
                continue;
            m_participants.add(fields->field1, fields->field2);
            m_chatLog.append(Participants::joinLine(fields->field1, timeOfDay));
            emit this->logged({ChatEvent::Kind::Join,
                               fields->field1,
                               fields->field2,
                               withoutTime(m_chatLog.at(m_chatLog.size() - 1)),
                               false,
                               {}});
            logged = joined = true;
            // One answer covers every newcomer that arrives while it is scheduled: the same
            // broadcast, and no flood of answers to a flood of made-up joins.
            if (!m_answerTimer->isActive())
                m_answerTimer->start(Participants::answerDelayMs(m_record.localIp));
        } else if (fields->field0 == Datagram::leaveKind) {
            if (m_participants.remove(fields->field2) < 0)
                continue;
            m_chatLog.append(Participants::leaveLine(fields->field1, timeOfDay));
            emit this->logged({ChatEvent::Kind::Leave,
                               fields->field1,
                               fields->field2,
                               withoutTime(m_chatLog.at(m_chatLog.size() - 1)),
                               false,
                               {}});
            logged = true;
        }
    }
    if (bulk)
        m_participants.endBulkChange();
    if (joined)
        emit participantsGrew();
    if (logged) {
        trimChatLog();
        emit chatLogGrew();
    }
}

void ChatSession::sendAnswer()
{
    if (m_stopped)
        return;
    m_wsk2->sendData(Datagram::joinNotice(m_userName, m_record.localIp));
    emit newParticipantAnswered();
}
