// Arbitrary bytes as chat and presence datagrams, sent over the in-memory LAN to a session that has
// started and announced itself.
//
// The input is a sequence of records: one control byte, one length byte, then that many payload
// bytes (fewer at the end of the input).
//   bit 0     the port: chat port (0) or presence port (1)
//   bits 1-2  the sending host: three other machines or this one
//   bits 3-4  the destination: subnet broadcast, this machine, limited broadcast, another machine
//   bit 5     deliver everything pending after this record (else it waits with the next ones)
//   bit 6     the session sends the payload itself, as typed text: to everybody on the chat port,
//             to every listed participant (selected-only) on the presence bit
#include "fuzzsupport.h"

#include "base/cp932.h"
#include "fixedclock.h"
#include "manualscheduler.h"
#include "net/chatsession.h"
#include "net/participants.h"
#include "virtuallan.h"

#include <QHash>
#include <QSet>
#include <cstdint>
#include <memory>

namespace {

const QString ownAddress = QStringLiteral("198.18.0.5");
const QString ownName = QStringLiteral("自分");
constexpr quint16 chatPort = 1000;
constexpr quint16 presencePort = 50011;

// The virtual LAN delivers to this machine's sockets what is addressed to it or broadcast on the
// network or any wider octet-aligned one.
bool reachesThisMachine(const QHostAddress &to)
{
    static const QSet<QString> addresses = {
        ownAddress, QStringLiteral("198.18.0.255"), QStringLiteral("198.18.255.255"),
        QStringLiteral("198.255.255.255"), QStringLiteral("255.255.255.255")};
    return addresses.contains(to.toString());
}

struct Expectations
{
    QStringList chatEntries;              // one per chat payload of three fields or more, in order
    int popups = 0;                       // selected-only lines from another address
    QHash<QString, bool> listedAfterLast; // address -> its last presence payload was a join
    QSet<QPair<QString, QString>> joined; // (name, address) of every join that arrived
};

void expectArrival(Expectations &expect, quint16 port, const QByteArray &payload)
{
    const QStringList fields = Cp932::decode(payload).split(QLatin1Char('\t'));
    if (fields.size() < 3)
        return;
    if (port == chatPort) {
        expect.chatEntries.append(fields.at(0) + QLatin1Char('>') + fields.at(1) +
                                  QStringLiteral("\t14:03:21"));
        if (fields.at(1).indexOf(QStringLiteral("-Only")) >= 1 && fields.at(2) != ownAddress)
            ++expect.popups;
    } else if (fields.at(0) == QStringLiteral("1")) {
        expect.listedAfterLast[fields.at(2)] = true;
        expect.joined.insert({fields.at(1), fields.at(2)});
    } else if (fields.at(0) == QStringLiteral("2")) {
        expect.listedAfterLast[fields.at(2)] = false;
    }
}

// Posted events only: the virtual sockets deliver through them, and the answer timer stays pending
// instead of firing in the middle of a run.
void deliver()
{
    QCoreApplication::sendPostedEvents();
}

struct Counters
{
    int inserted = 0;
    int removed = 0;
    int popups = 0;
};

void checkInvariants(ChatSession &session, const Expectations &expect, const Counters &counted)
{
    const QStringList participants = session.participants()->entries();
    QSet<QString> seen;
    for (const QString &entry : participants) {
        const QString address = Participants::address(entry);
        FUZZ_CHECK(address != ownAddress, "own address listed: %s", fuzzShow(entry).constData());
        FUZZ_CHECK(!seen.contains(address), "address listed twice: %s", fuzzShow(address).constData());
        seen.insert(address);
        const QString name = entry.left(entry.size() - address.size() - Participants::separator.size());
        FUZZ_CHECK(expect.joined.contains({name, address}), "listed without such a join: %s",
                   fuzzShow(entry).constData());
        FUZZ_CHECK(expect.listedAfterLast.value(address), "listed although it left last: %s",
                   fuzzShow(entry).constData());
    }
    for (auto it = expect.listedAfterLast.cbegin(); it != expect.listedAfterLast.cend(); ++it) {
        if (it.value() && it.key() != ownAddress)
            FUZZ_CHECK(seen.contains(it.key()), "joined last but not listed: %s",
                       fuzzShow(it.key()).constData());
    }

    // Each chat payload gives its line, in order; each change of the list gives one line too.
    const QStringList log = session.chatLog()->entries();
    FUZZ_CHECK(log.size() == expect.chatEntries.size() + counted.inserted + counted.removed,
               "log has %d entries, expected %d chat lines, %d joins, %d leaves", int(log.size()),
               int(expect.chatEntries.size()), counted.inserted, counted.removed);
    qsizetype next = 0;
    for (const QString &entry : log) {
        if (next < expect.chatEntries.size() && entry == expect.chatEntries.at(next))
            ++next;
    }
    FUZZ_CHECK(next == expect.chatEntries.size(), "chat line missing or out of order: %s",
               fuzzShow(expect.chatEntries.value(next)).constData());

    FUZZ_CHECK(counted.popups == expect.popups, "%d popups, expected %d", counted.popups, expect.popups);
    // Nothing here lets the timer fire, so a newcomer's answer must still be pending.
    FUZZ_CHECK(session.answerScheduled() == (counted.inserted > 0), "answer pending: %d, newcomers: %d",
               int(session.answerScheduled()), counted.inserted);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzEnsureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    VirtualLan lan;
    const std::unique_ptr<VirtualHost> own = lan.addHost(ownAddress, QStringLiteral("own"));
    std::unique_ptr<VirtualHost> others[] = {
        lan.addHost(QStringLiteral("198.18.0.9"), QStringLiteral("a")),
        lan.addHost(QStringLiteral("198.18.0.77"), QStringLiteral("b")),
        lan.addHost(QStringLiteral("198.18.0.200"), QStringLiteral("c"))};
    std::unique_ptr<DatagramSocket> senders[] = {others[0]->createSocket(), others[1]->createSocket(),
                                                 others[2]->createSocket(), own->createSocket()};
    const QHostAddress destinations[] = {
        QHostAddress(QStringLiteral("198.18.0.255")), QHostAddress(ownAddress),
        QHostAddress(QStringLiteral("255.255.255.255")), QHostAddress(QStringLiteral("198.18.0.9"))};

    Expectations expect;
    bool collecting = false;
    lan.setSendObserver([&](const VirtualLan::Datagram &datagram) {
        if (collecting && reachesThisMachine(datagram.to) &&
            (datagram.port == chatPort || datagram.port == presencePort))
            expectArrival(expect, datagram.port, datagram.payload);
    });

    SettingsRecord record;
    record.userName = ownName;
    record.subnetMask = QStringLiteral("255.255.255.0");
    record.chatPort = QString::number(chatPort);
    FixedClock clock;
    ManualScheduler time;
    ChatSession session(record, *own, clock, time);
    Counters counted;
    QObject::connect(session.participants(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex &, int first, int last) { counted.inserted += last - first + 1; });
    QObject::connect(session.participants(), &QAbstractItemModel::rowsRemoved,
                     [&](const QModelIndex &, int first, int last) { counted.removed += last - first + 1; });
    QObject::connect(&session, &ChatSession::popupRequested, [&] { ++counted.popups; });

    const auto opened = session.open();
    FUZZ_CHECK(!opened, "open: %s", qPrintable(opened.value_or(QString())));
    const auto announced = session.announce();
    FUZZ_CHECK(!announced, "announce: %s", qPrintable(announced.value_or(QString())));
    deliver();
    // The own leave and join came back and changed nothing.
    FUZZ_CHECK(session.participants()->size() == 0 && session.chatLog()->size() == 0);
    collecting = true;

    size_t at = 0;
    while (at < size) {
        const uint8_t control = data[at++];
        const size_t length = at < size ? data[at++] : 0;
        const size_t taken = std::min(length, size - at);
        const QByteArray payload(reinterpret_cast<const char *>(data + at), qsizetype(taken));
        at += taken;

        const bool presence = control & 0x01;
        if (control & 0x40) {
            const QString typed = Cp932::decode(payload);
            if (presence) {
                QList<int> rows = {-1, session.participants()->size()};
                for (int row = 0; row < session.participants()->size(); ++row)
                    rows.append(row);
                session.s_listSend(typed, rows);
            } else {
                session.s_sendData(typed);
            }
        } else {
            DatagramSocket &sender = *senders[(control >> 1) & 0x03];
            sender.sendTo(payload, destinations[(control >> 3) & 0x03], presence ? presencePort : chatPort);
        }
        if (control & 0x20) {
            deliver();
            checkInvariants(session, expect, counted);
        }
    }
    deliver();
    checkInvariants(session, expect, counted);
    return 0;
}
