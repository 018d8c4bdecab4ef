#include "app/desktopalerts.h"
#include "manualscheduler.h"
#include "recordingbadgeandnotifications.h"

#include <QSignalSpy>
#include <QTest>

namespace {

const QString taro = QStringLiteral("198.18.0.60");

struct Setup
{
    ManualScheduler time;
    RecordingBadgeAndNotifications desktop;
    DesktopAlerts alerts{desktop, time};
};

} // namespace

class TestDesktopAlerts : public QObject
{
    Q_OBJECT

private slots:
    // Peer text reaches a server that renders markup: nothing of it may become a tag.
    void bodyIsEscapedPlainText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("lines");
        QTest::addColumn<QString>("body");
        QTest::newRow("marker at the end goes")
            << QStringLiteral("hello-Only") << 1 << QStringLiteral("hello");
        QTest::newRow("marker inside stays") << QStringLiteral("a-Only b") << 1 << QStringLiteral("a-Only b");
        QTest::newRow("markup") << QStringLiteral("<b>x</b><img src=\"file:///etc/passwd\">&amp;-Only") << 1
                                << QStringLiteral(
                                       "&lt;b&gt;x&lt;/b&gt;&lt;img src=\"file:///etc/passwd\"&gt;&amp;amp;");
        QTest::newRow("count of several lines")
            << QStringLiteral("newest-Only") << 3 << QStringLiteral("newest\n（3件）");
    }

    void bodyIsEscapedPlainText()
    {
        QFETCH(QString, text);
        QFETCH(int, lines);
        QFETCH(QString, body);
        QCOMPARE(DesktopAlerts::body(text, lines, 500), body);
    }

    void longTextIsCutWithoutSplittingACharacter()
    {
        const QString emoji = QStringLiteral("😀");
        const QString body = DesktopAlerts::body(QString(3, QLatin1Char('a')) + emoji + emoji, 1, 5);
        QCOMPARE(body, QStringLiteral("aaa…"));
        QVERIFY(DesktopAlerts::body(QString(100000, QLatin1Char('<')), 1, 500).size() <= 500 * 4);
    }

    void firstLineNotifiesAtOnceThenTheSenderWaitsASecond()
    {
        Setup s;
        s.alerts.lineArrived(taro, QStringLiteral("<Taro>"), QStringLiteral("one-Only"));
        QCOMPARE(s.desktop.notifications.size(), 1);
        QCOMPARE(s.desktop.notifications[0].summary, QStringLiteral("&lt;Taro&gt;"));
        QCOMPARE(s.desktop.notifications[0].body, QStringLiteral("one"));
        QCOMPARE(s.desktop.notifications[0].replacesId, 0u);
        s.desktop.answerLast(7);

        s.alerts.lineArrived(taro, QStringLiteral("Taro"), QStringLiteral("two-Only"));
        s.alerts.lineArrived(taro, QStringLiteral("Taro"), QStringLiteral("three-Only"));
        s.time.advance(999);
        QCOMPARE(s.desktop.notifications.size(), 1);
        s.time.advance(1);
        QCOMPARE(s.desktop.notifications.size(), 2);
        QCOMPARE(s.desktop.notifications[1].replacesId, 7u);
        QCOMPARE(s.desktop.notifications[1].body, QStringLiteral("three\n（3件）"));
        s.time.advance(5000);
        QCOMPARE(s.desktop.notifications.size(), 2);
    }

    // Until the server gives the id, a further call would put a second notification on screen.
    void noSecondCallBeforeTheFirstIsAnswered()
    {
        Setup s;
        s.alerts.lineArrived(taro, QStringLiteral("Taro"), QStringLiteral("one"));
        s.alerts.lineArrived(taro, QStringLiteral("Taro"), QStringLiteral("two"));
        s.time.advance(30000);
        QCOMPARE(s.desktop.notifications.size(), 1);
        s.desktop.answerLast(4);
        QCOMPARE(s.desktop.notifications.size(), 2);
        QCOMPARE(s.desktop.notifications[1].replacesId, 4u);
        // A failed call lets the next line through.
        emit s.desktop.notificationFailed(s.desktop.notifications[1].serial);
        s.time.advance(1000);
        s.alerts.lineArrived(taro, QStringLiteral("Taro"), QStringLiteral("three"));
        QCOMPARE(s.desktop.notifications.size(), 3);
    }

    void floodFromOneHostGivesAHandfulOfCallsEndingWithTheNewest()
    {
        Setup s;
        qsizetype answered = 0;
        for (int n = 1; n <= 2000; ++n) {
            s.alerts.lineArrived(taro, QStringLiteral("Taro"), QStringLiteral("line %1-Only").arg(n));
            if (s.desktop.notifications.size() > answered) {
                answered = s.desktop.notifications.size();
                s.desktop.answerLast(9);
            }
            s.time.advance(1);
        }
        s.time.advance(2000);
        QVERIFY2(s.desktop.notifications.size() <= 4,
                 qPrintable(QString::number(s.desktop.notifications.size())));
        QCOMPARE(s.desktop.notifications.last().body, QStringLiteral("line 2000\n（2000件）"));
    }

    void atMostFiveCallsPerSecondInAll()
    {
        Setup s;
        for (int i = 0; i < 12; ++i)
            s.alerts.lineArrived(QStringLiteral("198.18.1.%1").arg(i), QStringLiteral("p%1").arg(i),
                                 QStringLiteral("x"));
        QCOMPARE(s.desktop.notifications.size(), 5);
        s.time.advance(999);
        QCOMPARE(s.desktop.notifications.size(), 5);
        s.time.advance(1);
        QCOMPARE(s.desktop.notifications.size(), 10);
        // Those waiting longest go first.
        QCOMPARE(s.desktop.notifications[5].summary, QStringLiteral("p5"));
        s.time.advance(1000);
        QCOMPARE(s.desktop.notifications.size(), 12);
    }

    void spoofedSendersAreCapped()
    {
        ManualScheduler time;
        RecordingBadgeAndNotifications desktop;
        DesktopAlerts alerts(desktop, time, AlertLimits{1000, 5, 3, 64, 500});
        for (int i = 0; i < 1000; ++i)
            alerts.lineArrived(QStringLiteral("198.19.%1.1").arg(i), QStringLiteral("x"),
                               QStringLiteral("x"));
        QCOMPARE(alerts.sendersHeld(), 3);
        // Answered and sent, the oldest gives way to a newcomer.
        for (const DesktopNotification &n : std::as_const(desktop.notifications))
            emit desktop.notificationShown(n.serial, quint32(n.serial));
        alerts.lineArrived(QStringLiteral("198.18.0.9"), QStringLiteral("new"), QStringLiteral("x"));
        QCOMPARE(alerts.sendersHeld(), 3);
        QCOMPARE(desktop.notifications.last().summary, QStringLiteral("new"));
    }

    void closedByTheServerIsForgotten()
    {
        Setup s;
        s.alerts.lineArrived(taro, QStringLiteral("Taro"), QStringLiteral("one"));
        s.desktop.answerLast(5);
        emit s.desktop.notificationClosed(5);
        s.time.advance(1000);
        s.alerts.lineArrived(taro, QStringLiteral("Taro"), QStringLiteral("two"));
        QCOMPARE(s.desktop.notifications.last().replacesId, 0u);
        QCOMPARE(s.desktop.notifications.last().body, QStringLiteral("two"));
    }

    void seenClosesOursAndLateAnswersToo()
    {
        Setup s;
        s.alerts.lineArrived(taro, QStringLiteral("Taro"), QStringLiteral("one"));
        s.desktop.answerLast(5);
        s.alerts.lineArrived(QStringLiteral("198.18.0.61"), QStringLiteral("Hanako"), QStringLiteral("x"));
        s.alerts.seen();
        QCOMPARE(s.desktop.closed, QList<quint32>{5});
        QCOMPARE(s.alerts.sendersHeld(), 0);
        s.desktop.answerLast(6);
        QCOMPARE(s.desktop.closed, (QList<quint32>{5, 6}));
    }

    void defaultActionOnOursOpensTheWindow()
    {
        Setup s;
        QSignalSpy open(&s.alerts, &DesktopAlerts::openRequested);
        s.alerts.lineArrived(taro, QStringLiteral("Taro"), QStringLiteral("one"));
        s.desktop.answerLast(5);
        emit s.desktop.actionInvoked(99, QStringLiteral("default"));
        emit s.desktop.actionInvoked(5, QStringLiteral("other"));
        QCOMPARE(open.count(), 0);
        emit s.desktop.actionInvoked(5, QStringLiteral("default"));
        QCOMPARE(open.count(), 1);
    }

    void badgeFollowsChangesOnly()
    {
        Setup s;
        for (qint16 count : {0, 1, 2, 2, 3, 0})
            s.alerts.setNewCount(count);
        QCOMPARE(s.desktop.badges, (QList<qint64>{1, 2, 3, 0}));
    }
};

QTEST_GUILESS_MAIN(TestDesktopAlerts)
#include "tst_desktopalerts.moc"
