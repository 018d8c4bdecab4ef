#include "livecheck.h"

#include "app/settingsrecord.h"
#include "base/clock.h"
#include "base/systemscheduler.h"
#include "net/chatsession.h"
#include "presencelog.h"

#include <QEventLoop>
#include <QTimer>

LiveCheck::LiveCheck(DatagramNetwork &network, QObject *parent) : QObject(parent), m_network(network) {}

void LiveCheck::run(Diagnosis &d, const QString &userName, int listenMs)
{
    SettingsRecord record;
    record.userName = userName;
    record.subnetMask = d.subnetMask;
    record.chatPort = d.chatPort;
    SystemClock clock;
    SystemScheduler scheduler;
    ChatSession session(record, m_network, clock, scheduler);
    if (const auto error = session.open()) {
        d.liveError = *error;
        return;
    }
    PresenceLog heard(record.localIp);
    connect(session.wsk2(), &DatagramChannel::dataArrival, this,
            [&heard](const QStringList &payloads) { heard.feed(payloads); });
    if (d.listenOnly) {
        // Nothing goes out, not even the answer to a newcomer.
        session.stop();
    } else if (const auto error = session.announce()) {
        d.liveError = *error;
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(listenMs, &loop, &QEventLoop::quit);
    loop.exec();
    if (!d.listenOnly) {
        session.stop();
        if (const auto error = session.sendLeaveNotice())
            d.liveError = *error;
    }
    d.liveRan = true;
    d.ownBroadcastHeard = heard.ownHeard();
    d.peers = heard.peers();
}
