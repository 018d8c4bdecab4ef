#include "testsupport.h"

#include "app/desktopalerts.h"
#include "net/chatsession.h"
#include "net/participants.h"
#include "ui/entrylistview.h"
#include "ui/form1.h"
#include "ui/form3.h"
#include "ui/participantlistview.h"
#include "ui/titleindicator.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>
#include <QToolTip>

namespace {

QString address(int last)
{
    return QStringLiteral("198.18.0.%1").arg(last);
}

QWidget *findToolTip()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->inherits("QTipLabel") && widget->isVisible())
            return widget;
    }
    return nullptr;
}

// Every instance here answers within this, the delay of the highest address.
void letAnswersGo(ManualScheduler &time)
{
    time.advance(Participants::answerDelayMs(QStringLiteral("198.18.0.255")));
}

QString lastEntry(const Instance &instance)
{
    const QStringList log = instance.chatLog();
    return log.isEmpty() ? QString() : log.last();
}

void typeAndSend(Form1 *form, const QString &text)
{
    form->text1()->setText(text);
    QTest::keyClick(form->text1(), Qt::Key_Return);
}

// A document that records what its markup asks it to load.
class RecordingDocument : public QTextDocument
{
public:
    QList<QUrl> requested;

protected:
    QVariant loadResource(int type, const QUrl &name) override
    {
        requested.append(name);
        return QTextDocument::loadResource(type, name);
    }
};

} // namespace

class TestChat : public QObject
{
    Q_OBJECT

private slots:
    // A newcomer and k running instances find each other; the newcomer sends at most k + 1 joins.
    void newcomerAndRunningInstancesConverge()
    {
        LanWithInstances fixture({1, 2, 3});
        auto &[lan, time, running] = fixture;
        letAnswersGo(time);
        for (auto &instance : running)
            QCOMPARE(instance->participants().size(), 2);
        lan.clearSent();

        Instance newcomer(lan, time, address(4), QStringLiteral("host4"));
        QVERIFY(newcomer.start());
        // Every scheduled answer goes out before counting.
        letAnswersGo(time);
        QCOMPARE(newcomer.participants().size(), 3);
        QVERIFY(!newcomer.session()->answerScheduled());
        for (auto &instance : running) {
            QCOMPARE(instance->participants().size(), 3);
            QVERIFY(!instance->session()->answerScheduled());
        }

        const QStringList fromNewcomer = sentTexts(lan, 50011, address(4));
        QVERIFY2(fromNewcomer.count(QStringLiteral("1\thost4\t198.18.0.4")) <= 4,
                 qPrintable(fromNewcomer.join(u'|')));
        QVERIFY(newcomer.participants().contains(QStringLiteral("host1\t\t198.18.0.1")));
        QVERIFY(newcomer.chatLog().contains(QStringLiteral("host2さんが参加しました\t14:03:21")));
        // Each running instance answered exactly once.
        for (int last : {1, 2, 3})
            QCOMPARE(sentTexts(lan, 50011, address(last)).size(), 1);
    }

    void ownAndKnownNoticesChangeNothing()
    {
        LanWithInstances fixture({1});
        auto &[lan, time, instances] = fixture;
        Instance &a = *instances.front();
        RawPeer peer(lan, address(60));
        // The own join and leave come back from the broadcast and are ignored.
        QTest::qWait(0);
        QVERIFY(a.participants().isEmpty());
        QVERIFY(a.chatLog().isEmpty());

        peer.sendText(QStringLiteral("1\tTaro\t198.18.0.60"), lanBroadcast, 50011);
        QTRY_COMPARE(a.participants().size(), 1);
        letAnswersGo(time);
        QVERIFY(!a.session()->answerScheduled());
        const int answers = sentTexts(lan, 50011, address(1)).size();

        // A repeated join, whatever its name, adds, logs and answers nothing.
        peer.sendText(QStringLiteral("1\tJiro\t198.18.0.60"), lanBroadcast, 50011);
        peer.sendText(QStringLiteral("3\tX\t198.18.0.61"), lanBroadcast, 50011);      // unknown kind
        peer.sendText(QStringLiteral("1\tshort"), lanBroadcast, 50011);               // two fields
        peer.sendText(QStringLiteral("2\tNobody\t198.18.0.99"), lanBroadcast, 50011); // not listed
        peer.sendText(QStringLiteral("1\tMarker\t198.18.0.62"), lanBroadcast, 50011);
        QTRY_COMPARE(a.participants().size(), 2);
        QCOMPARE(a.participants().first(), QStringLiteral("Taro\t\t198.18.0.60"));
        QCOMPARE(a.chatLog().size(), 2);

        // A leave with another name removes the entry and logs the notice's name.
        peer.sendText(QStringLiteral("2\tSomeoneElse\t198.18.0.60"), lanBroadcast, 50011);
        QTRY_COMPARE(a.participants().size(), 1);
        QCOMPARE(lastEntry(a), QStringLiteral("SomeoneElseさんが退場しました\t14:03:21"));
        letAnswersGo(time);
        QVERIFY(!a.session()->answerScheduled());
        QCOMPARE(sentTexts(lan, 50011, address(1)).size(), answers + 1); // only the join of .62
    }

    void joinWithEmptyName()
    {
        LanWithInstances fixture({1});
        auto &[lan, time, instances] = fixture;
        RawPeer peer(lan, address(70));
        peer.sendText(QStringLiteral("1\t\t198.18.0.70"), lanBroadcast, 50011);
        QTRY_COMPARE(instances.front()->participants(), QStringList{QStringLiteral("\t\t198.18.0.70")});
        QVERIFY(instances.front()->chatLog().first().startsWith(QStringLiteral("さんが参加しました\t")));
    }

    // The answer waits without blocking: lines that arrive meanwhile are shown at once.
    void answerIsScheduledNotSlept()
    {
        LanWithInstances fixture({200}); // answers after 2000 ms
        auto &[lan, time, instances] = fixture;
        Instance &a = *instances.front();
        RawPeer peer(lan, address(80));
        peer.sendText(QStringLiteral("1\tTaro\t198.18.0.80"), lanBroadcast, 50011);
        QTRY_COMPARE(a.chatLog().size(), 1);
        QVERIFY(a.session()->answerScheduled());
        time.advance(1000);
        peer.sendText(QStringLiteral("Taro\tduring the wait\t198.18.0.80"), lanBroadcast, 1000);
        QTRY_COMPARE(a.chatLog().size(), 2);
        time.advance(999);
        QVERIFY2(a.session()->answerScheduled(), "the answer must keep its delay");
        QCOMPARE(sentTexts(lan, 50011, address(200)).size(), 2); // start-up leave and join only
        time.advance(1);
        QVERIFY(!a.session()->answerScheduled());
        QCOMPARE(sentTexts(lan, 50011, address(200)).size(), 3);
        QCOMPARE(sentTexts(lan, 50011, address(200)).last(), QStringLiteral("1\thost200\t198.18.0.200"));
    }

    // A flood of made-up joins must not make every instance flood the LAN.
    void floodOfJoinsGetsOneAnswerPerDelay()
    {
        LanWithInstances fixture({50});
        auto &[lan, time, instances] = fixture;
        Instance &a = *instances.front();
        RawPeer peer(lan, address(90));
        for (int i = 0; i < 100; ++i)
            peer.sendText(QStringLiteral("1\tbot\t10.0.%1.%2").arg(i / 200).arg(i % 200), lanBroadcast,
                          50011);
        QTRY_COMPARE(a.participants().size(), 100);
        time.advance(500);
        QVERIFY(!a.session()->answerScheduled());
        QCOMPARE(sentTexts(lan, 50011, address(50)).size(), 3); // leave, join, one answer
    }

    // An instance that ended without its leave notice is listed still; when it starts again it
    // must get answers all the same.
    void restartAfterCrashIsAnsweredAgain()
    {
        LanWithInstances fixture({1, 2});
        auto &[lan, time, instances] = fixture;
        letAnswersGo(time);
        QCOMPARE(instances[0]->participants().size(), 1);
        QCOMPARE(instances[1]->participants().size(), 1);
        const QString folder = instances[1]->folder();
        instances.pop_back(); // gone without a leave notice
        QCOMPARE(instances[0]->participants().size(), 1);

        Instance again(lan, time, address(2), QStringLiteral("host2"));
        QVERIFY(again.start());
        letAnswersGo(time);
        QCOMPARE(again.participants(), QStringList{QStringLiteral("host1\t\t198.18.0.1")});
        QCOMPARE(instances[0]->participants(), QStringList{QStringLiteral("host2\t\t198.18.0.2")});
    }

    void lineToEverybody()
    {
        LanWithInstances fixture({1, 2});
        auto &[lan, time, instances] = fixture;
        Form1 *sender = instances[0]->form();
        lan.clearSent();

        // An empty line sends nothing and leaves the input line alone.
        QTest::keyClick(sender->text1(), Qt::Key_Return);
        QVERIFY(lan.sent().isEmpty());

        typeAndSend(sender, QStringLiteral("こんにちは\tworld"));
        QCOMPARE(sender->text1()->text(), QString());
        QCOMPARE(sender->focusWidget(), static_cast<QWidget *>(sender->text1()));
        QCOMPARE(lan.sentTo(1000).size(), 1);
        QCOMPARE(lan.sentTo(1000).first().to.toString(), lanBroadcast);
        QCOMPARE(sentTexts(lan, 1000).first(), QStringLiteral("host1\tこんにちは world\t198.18.0.1"));
        for (auto &instance : instances)
            QTRY_COMPARE(lastEntry(*instance), QStringLiteral("host1>こんにちは world\t14:03:21"));
        QVERIFY(!sender->popup());
        QVERIFY(!instances[1]->form()->popup());

        // "Send" does the same as Enter; a text of blanks is sent untrimmed.
        sender->text1()->setText(QStringLiteral("  "));
        QTest::mouseClick(sender->command1(), Qt::LeftButton);
        QCOMPARE(sentTexts(lan, 1000).last(), QStringLiteral("host1\t  \t198.18.0.1"));
    }

    void selectedOnlyLine()
    {
        LanWithInstances fixture({1, 2, 3, 4});
        auto &[lan, time, instances] = fixture;
        Form1 *sender = instances[0]->form();
        letAnswersGo(time);
        QCOMPARE(instances[0]->participants().size(), 3);
        QVERIFY(!instances[0]->session()->answerScheduled());

        QTest::mouseClick(sender->check1(), Qt::LeftButton);
        QVERIFY(sender->check1()->isChecked());
        QCOMPARE(sender->focusWidget(), static_cast<QWidget *>(sender->text1()));
        selectParticipant(sender, address(4));
        selectParticipant(sender, address(2));
        QCOMPARE(sender->focusWidget(), static_cast<QWidget *>(sender->text1()));
        lan.clearSent();

        typeAndSend(sender, QStringLiteral("内緒"));
        const auto sent = lan.sentTo(1000);
        QCOMPARE(sent.size(), 3);
        // List order, then the own copy.
        QStringList destinations;
        for (const auto &datagram : sent)
            destinations.append(datagram.to.toString());
        QStringList expected;
        for (const QString &entry : instances[0]->participants()) {
            if (entry.endsWith(address(2)) || entry.endsWith(address(4)))
                expected.append(entry.section(QLatin1Char('\t'), 2));
        }
        expected.append(address(1));
        QCOMPARE(destinations, expected);
        QCOMPARE(sentTexts(lan, 1000).first(), QStringLiteral("host1\t内緒-Only\t198.18.0.1"));

        QTRY_COMPARE(lastEntry(*instances[1]), QStringLiteral("host1>内緒-Only\t14:03:21"));
        QTRY_COMPARE(lastEntry(*instances[3]), QStringLiteral("host1>内緒-Only\t14:03:21"));
        QTRY_COMPARE(lastEntry(*instances[0]), QStringLiteral("host1>内緒-Only\t14:03:21"));
        QVERIFY(instances[1]->form()->popup());
        QVERIFY(instances[3]->form()->popup());
        QVERIFY2(!sender->popup(), "the own copy raises no popup");
        QVERIFY(!instances[2]->form()->popup());
        QVERIFY(!lastEntry(*instances[2]).contains(QStringLiteral("内緒")));
        // The selection and the check box stay for the next line.
        QVERIFY(sender->check1()->isChecked());
        QCOMPARE(sender->list2()->selectedRows().size(), 2);
    }

    void selectedOnlyWithNobodySelectedSendsTheOwnCopy()
    {
        LanWithInstances fixture({1, 2});
        auto &[lan, time, instances] = fixture;
        Form1 *sender = instances[0]->form();
        sender->check1()->setChecked(true);
        lan.clearSent();
        typeAndSend(sender, QStringLiteral("memo"));
        QCOMPARE(lan.sentTo(1000).size(), 1);
        QCOMPARE(lan.sentTo(1000).first().to.toString(), address(1));
        QTRY_COMPARE(lastEntry(*instances[0]), QStringLiteral("host1>memo-Only\t14:03:21"));
    }

    void markerInTextToEverybody()
    {
        LanWithInstances fixture({1, 2});
        auto &[lan, time, instances] = fixture;
        typeAndSend(instances[0]->form(), QStringLiteral("the -Only way"));
        QTRY_VERIFY(instances[1]->form()->popup());
        QVERIFY(!instances[0]->form()->popup());

        Instance &receiver = *instances[1];
        receiver.form()->popup()->close();
        QTRY_VERIFY(!receiver.form()->popup());
        typeAndSend(instances[0]->form(), QStringLiteral("-Only at the start"));
        QTRY_COMPARE(lastEntry(receiver), QStringLiteral("host1>-Only at the start\t14:03:21"));
        QVERIFY(!receiver.form()->popup());
    }

    void datagramsWithTooFewFieldsChangeNothing()
    {
        LanWithInstances fixture({1});
        auto &[lan, time, instances] = fixture;
        Instance &a = *instances.front();
        a.form()->showMinimized();
        QTRY_VERIFY(a.form()->isMinimized());
        a.form()->indicator()->timer2Tick(); // stop the start-up marquee
        RawPeer peer(lan, address(60));
        peer.sendText(QStringLiteral("Taro\thello-Only"), address(1), 1000);
        peer.sendText(QStringLiteral("hello"), address(1), 1000);
        QCoreApplication::sendPostedEvents(); // the virtual LAN hands both over here
        QVERIFY(a.chatLog().isEmpty());
        QVERIFY(!a.form()->popup());
        QVERIFY(!a.form()->indicator()->marqueeRunning());
        QCOMPARE(a.form()->indicator()->newCount(), qint16(0));

        peer.sendText(QStringLiteral("Taro\tlast\t198.18.0.60"), address(1), 1000);
        QTRY_COMPARE(a.chatLog().size(), 1);
        QCOMPARE(a.chatLog().first(), QStringLiteral("Taro>last\t14:03:21"));
        QCOMPARE(a.form()->indicator()->newCount(), qint16(1));
    }

    // Markup from a peer, as a chat line and as a name, must show as the text it is: in the lists
    // and in their tool tips, which Qt would otherwise render as HTML and load images for.
    void peerMarkupIsShownAsText()
    {
        LanWithInstances fixture({1});
        auto &[lan, time, instances] = fixture;
        Instance &a = *instances.front();
        const QString markup =
            QStringLiteral("<h1>SPOOFED</h1><img src=\"/usr/share/pixmaps/x.png\" width=300 height=300>");
        RawPeer peer(lan, address(60));
        peer.sendText(QStringLiteral("Taro\t%1\t198.18.0.60").arg(markup), address(1), 1000);
        peer.sendText(QStringLiteral("1\t%1\t198.18.0.60").arg(markup), address(1), 50011);
        QTRY_COMPARE(a.participants().size(), 1);

        for (QAbstractItemView *list :
             std::initializer_list<QAbstractItemView *>{a.form()->list1(), a.form()->list2()}) {
            const QModelIndex first = list->model()->index(0, 0);
            const QString entry = first.data().toString();
            QVERIFY2(entry.contains(markup), qPrintable(entry));
            RecordingDocument shown;
            shown.setHtml(first.data(Qt::ToolTipRole).toString());
            shown.size(); // lays it out, loading what it refers to
            QCOMPARE(shown.toPlainText(), entry);
            QVERIFY2(shown.requested.isEmpty(), qPrintable(shown.requested.value(0).toString()));

            // The tool tip the user sees is one line of text, not a heading and a 300 px image.
            const QRect rect = list->visualRect(first);
            QHelpEvent help(QEvent::ToolTip, rect.center(), list->viewport()->mapToGlobal(rect.center()));
            QCoreApplication::sendEvent(list->viewport(), &help);
            QWidget *tip = nullptr;
            QTRY_VERIFY((tip = findToolTip()) != nullptr);
            QVERIFY2(tip->height() < 100,
                     qPrintable(QStringLiteral("tool tip %1 px high").arg(tip->height())));
            QToolTip::hideText();
            QTRY_VERIFY(!findToolTip());
        }
    }

    // The bytes a Windows peer sends and expects: control codes keep their numbers both ways.
    void lineBytesAsWindowsWritesThem()
    {
        LanWithInstances fixture({1});
        auto &[lan, time, instances] = fixture;
        Instance &a = *instances.front();
        RawPeer peer(lan, address(60));
        peer.send(QByteArray::fromHex("5461726f"
                                      "09"
                                      "411a1c7f42"
                                      "09") +
                      "198.18.0.60",
                  address(1), 1000);
        QTRY_VERIFY(lastEntry(a).startsWith(QStringLiteral("Taro>A\x1a\x1c\x7f"
                                                           "B\t")));

        lan.clearSent();
        typeAndSend(a.form(), QStringLiteral("x\x1a\x1c\x7fy"));
        QCOMPARE(lan.sentTo(1000).size(), 1);
        QCOMPARE(lan.sentTo(1000).first().payload.toHex(),
                 (QByteArray("host1\tx") + QByteArray::fromHex("1a1c7f") + "y\t198.18.0.1").toHex());

        // Characters the code page lacks go out as Windows' best fit, "?" where it has none.
        typeAndSend(a.form(), QStringLiteral("¥¦é😀"));
        QCOMPARE(lan.sentTo(1000).last().payload, QByteArray("host1\t\\|e?\t198.18.0.1"));
    }

    // A flood of leaves is shown by redrawing the list at once; the recipients the user picked
    // must stay picked.
    void floodOfLeavesKeepsTheSelection()
    {
        LanWithInstances fixture({1});
        auto &[lan, time, instances] = fixture;
        Instance &a = *instances.front();
        RawPeer peer(lan, address(60));
        for (int i = 100; i < 140; ++i)
            peer.sendText(QStringLiteral("1\tp%1\t198.19.0.%1").arg(i), address(1), 50011);
        QTRY_COMPARE(a.participants().size(), 40);
        selectParticipant(a.form(), QStringLiteral("198.19.0.120"));
        selectParticipant(a.form(), QStringLiteral("198.19.0.139"));
        for (int i = 100; i < 140; i += 2)
            peer.sendText(QStringLiteral("2\tp%1\t198.19.0.%1").arg(i), address(1), 50011);
        QTRY_COMPARE(a.participants().size(), 20);
        const QList<int> rows = a.form()->list2()->selectedRows();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(a.session()->participants()->address(rows.first()), QStringLiteral("198.19.0.139"));
        QCOMPARE(a.session()->f_listChk(QStringLiteral("198.19.0.121")), 10);
    }

    // The badge follows the count, and the count going back to 0 hides it.
    void linesWhileMinimizedAreCounted()
    {
        LanWithInstances fixture({1});
        auto &[lan, time, instances] = fixture;
        Instance &a = *instances.front();
        a.form()->showMinimized();
        QTRY_VERIFY(a.form()->isMinimized());
        RawPeer peer(lan, address(60));
        for (int i = 0; i < 3; ++i) {
            peer.sendText(QStringLiteral("Taro\tline %1\t198.18.0.60").arg(i), address(1), 1000);
            QTRY_COMPARE(a.chatLog().size(), i + 1);
        }
        QCOMPARE(a.form()->indicator()->newCount(), qint16(3));
        a.form()->indicator()->timer1Tick();
        QVERIFY2(a.form()->windowTitle().startsWith(QStringLiteral("新着：3件 ")),
                 qPrintable(a.form()->windowTitle()));
        // A screen reader reads the count with the plain title, not a frame of the marquee.
        QCOMPARE(a.form()->accessibleName(), QStringLiteral("新着：3件 Zumzumちゃっと"));

        a.form()->showNormal();
        QTRY_VERIFY(!a.form()->isMinimized());
        QCOMPARE(a.form()->windowTitle(), QStringLiteral("Zumzumちゃっと"));
        QCOMPARE(a.form()->accessibleName(), QStringLiteral("Zumzumちゃっと"));
        QCOMPARE(a.form()->indicator()->newCount(), qint16(0));
        QCOMPARE(a.desktop.badges, (QList<qint64>{1, 2, 3, 0}));
        QVERIFY(a.desktop.notifications.isEmpty());
    }

    void selectedOnlyLinesNotifyOnlyWhenTheOptionIs1_data()
    {
        QTest::addColumn<int>("onlyNotify");
        QTest::addColumn<int>("calls");
        QTest::newRow("off") << 0 << 0;
        QTest::newRow("on") << 1 << 1;
        QTest::newRow("an unknown value is off") << 2 << 0;
    }

    void selectedOnlyLinesNotifyOnlyWhenTheOptionIs1()
    {
        QFETCH(int, onlyNotify);
        QFETCH(int, calls);
        LanWithInstances fixture({1});
        auto &[lan, time, instances] = fixture;
        Instance &a = *instances.front();
        a.record().onlyNotify = qint16(onlyNotify);
        a.form()->showMinimized();
        QTRY_VERIFY(a.form()->isMinimized());
        RawPeer peer(lan, address(60));
        peer.sendText(QStringLiteral("Taro\tto all\t198.18.0.60"), address(1), 1000);
        peer.sendText(QStringLiteral("Taro\t<b>x</b>-Only\t198.18.0.60"), address(1), 1000);
        // The own copy of a selected-only line is no news.
        peer.sendText(QStringLiteral("Me\tmine-Only\t198.18.0.1"), address(1), 1000);
        QTRY_COMPARE(a.chatLog().size(), 3);
        QVERIFY(a.form()->popup());
        QCOMPARE(a.desktop.notifications.size(), calls);
        if (calls) {
            QCOMPARE(a.desktop.notifications[0].summary, QStringLiteral("Taro"));
            QCOMPARE(a.desktop.notifications[0].body, QStringLiteral("&lt;b&gt;x&lt;/b&gt;"));
            a.desktop.answerLast(3);
            emit a.desktop.actionInvoked(3, QStringLiteral("default"));
            QTRY_VERIFY(!a.form()->isMinimized());
            QCOMPARE(a.desktop.closed, QList<quint32>{3});
        }
    }

    void popupShowsOnceAndCloses()
    {
        LanWithInstances fixture({1});
        auto &[lan, time, instances] = fixture;
        Form1 *form = instances.front()->form();
        RawPeer peer(lan, address(60));
        peer.sendText(QStringLiteral("Taro\ta-Only\t198.18.0.60"), address(1), 1000);
        QTRY_VERIFY(form->popup());
        Form3 *popup = form->popup();
        QVERIFY(popup->isVisible());
        QVERIFY(popup->windowFlags().testFlag(Qt::FramelessWindowHint));
        QVERIFY(popup->windowFlags().testFlag(Qt::Tool));
        QCOMPARE(popup->size(), QSize(138, 36));
        QCOMPARE(popup->label()->text(), QStringLiteral("Only受信"));
        QCOMPARE(popup->geometry().center(), QGuiApplication::primaryScreen()->availableGeometry().center());
        // A screen reader hears who sent what; the popup shows what it always showed.
        QCOMPARE(popup->accessibleName(), QStringLiteral("Taroさんから: a-Only"));

        // A second line keeps the same popup and its timer.
        QCOMPARE(popup->remainingMs(), 5000);
        const QList<Qt::TimerType> types = time.activeTimerTypes();
        QVERIFY(types.size() >= 3); // the popup's, and the title's two
        QVERIFY(!types.contains(Qt::CoarseTimer));
        time.advance(300);
        peer.sendText(QStringLiteral("Taro\tb-Only\t198.18.0.60"), address(1), 1000);
        QTRY_COMPARE(instances.front()->chatLog().size(), 2);
        QCOMPARE(form->popup(), popup);
        QCOMPARE(popup->remainingMs(), 4700);
        QCOMPARE(popup->accessibleName(), QStringLiteral("Taroさんから: b-Only"));

        // A click on the text closes it; the next line gets a fresh one.
        QTest::mouseClick(popup->label(), Qt::LeftButton);
        QTRY_VERIFY(!form->popup());
        peer.sendText(QStringLiteral("Taro\tc-Only\t198.18.0.60"), address(1), 1000);
        QTRY_VERIFY(form->popup());
        time.advance(4999);
        QVERIFY(form->popup()->isVisible());
        time.advance(1);
        QTRY_VERIFY(!form->popup());
    }

    // Space on "選択のみ" ticks it and leaves the focus on it; a click with the mouse ticks it and
    // sends the focus on to the input line, for typing on.
    void checkBoxKeepsTheFocusOfTheKeyboard()
    {
        LanWithInstances fixture({1});
        auto &[lan, time, instances] = fixture;
        Form1 *form = instances.front()->form();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form));
        QCheckBox *box = form->check1();
        box->setFocus();
        QTRY_VERIFY(box->hasFocus());
        QTest::keyClick(box, Qt::Key_Space);
        QVERIFY(box->isChecked());
        QVERIFY(box->hasFocus());
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
        QVERIFY(!box->isChecked());
        QTRY_VERIFY(form->text1()->hasFocus());
        // A press let go outside the box clicks nothing and leaves nothing behind for Space.
        box->setFocus();
        QTest::mousePress(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
        QTest::mouseRelease(box, Qt::LeftButton, {}, QPoint(-20, -20));
        QVERIFY(!box->isChecked());
        QTest::keyClick(box, Qt::Key_Space);
        QVERIFY(box->isChecked());
        QVERIFY(box->hasFocus());
    }

    // The layout's heights run past the client area; the lists end at its bottom edge, so the
    // newest row is never half hidden. The layout's own figures stay as they are.
    void listsEndInsideTheWindow_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("design") << QSize();
        QTest::newRow("large") << QSize(900, 700);
        QTest::newRow("short") << QSize(500, 60);
        QTest::newRow("tiny") << QSize(120, 30);
    }

    void listsEndInsideTheWindow()
    {
        QFETCH(QSize, size);
        LanWithInstances fixture({1});
        auto &[lan, time, instances] = fixture;
        Form1 *form = instances.front()->form();
        if (size.isValid())
            form->resize(size);
        const QWidget *client = form->centralWidget();
        QTRY_COMPARE(client->height(), std::max(0, form->height() - form->menuBar()->height()));
        for (const QWidget *list :
             {static_cast<QWidget *>(form->list1()), static_cast<QWidget *>(form->list2())}) {
            const QRect shown = list->geometry();
            QVERIFY2(shown.y() + shown.height() <= std::max(client->height(), shown.y()),
                     qPrintable(QStringLiteral("%1 ends at %2 in a client area %3 high")
                                    .arg(list->objectName())
                                    .arg(shown.y() + shown.height())
                                    .arg(client->height())));
        }
        const ControlsGeometry c = form->controlsGeometry();
        const float H = float(client->height() * 15);
        if (H >= 245) {
            QCOMPARE(c.list1Height, H - 245);
            QCOMPARE(form->list1()->height(), client->height() - 22);
        }
    }

    // A send that fails keeps the line and says so; one failing participant does not stop the rest.
    void failedSendsKeepTheLine()
    {
        LanWithInstances fixture({1, 2, 3});
        auto &[lan, time, instances] = fixture;
        Form1 *sender = instances[0]->form();
        letAnswersGo(time);
        QCOMPARE(instances[0]->participants().size(), 2);
        lan.failSendsTo(QHostAddress(address(2)));
        sender->check1()->setChecked(true);
        selectParticipant(sender, address(2));
        selectParticipant(sender, address(3));
        lan.clearSent();
        typeAndSend(sender, QStringLiteral("important"));
        QCOMPARE(lan.sentTo(1000).size(), 2); // .3 and the own copy
        QCOMPARE(sender->text1()->text(), QStringLiteral("important"));
        QCOMPARE(instances[0]->messages.shown.size(), 1);
        QVERIFY(instances[0]->messages.shown.first().text.contains(address(2)));

        lan.failSendsTo(QHostAddress(lanBroadcast));
        sender->check1()->setChecked(false);
        typeAndSend(sender, QStringLiteral("to all"));
        QCOMPARE(sender->text1()->text(), QStringLiteral("to all"));
        QCOMPARE(instances[0]->messages.shown.size(), 2);
    }

    void copyEntriesAsPlainText()
    {
        LanWithInstances fixture({1});
        auto &[lan, time, instances] = fixture;
        Instance &a = *instances.front();
        RawPeer peer(lan, address(60));
        peer.sendText(QStringLiteral("Taro\tfirst\t198.18.0.60"), address(1), 1000);
        // A long line is shown in part (laying out all of it on every repaint would freeze the
        // window) and copied whole.
        const QString longText = QString(40000, QLatin1Char('x')) + QStringLiteral("end");
        peer.sendText(QStringLiteral("Taro\t%1\t198.18.0.60").arg(longText), address(1), 1000);
        QTRY_COMPARE(a.chatLog().size(), 2);
        EntryListView *log = a.form()->list1();
        const QString shown = log->model()->index(1, 0).data().toString();
        QVERIFY2(shown.size() <= 1000 && shown.startsWith(QStringLiteral("Taro>xxx")),
                 qPrintable(shown.left(40)));
        log->setFocus();
        QTest::keyClick(log, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QStringLiteral("Taro>first\t14:03:21\nTaro>%1\t14:03:21").arg(longText));
    }

    void closingEndsHandling()
    {
        LanWithInstances fixture({1, 2});
        auto &[lan, time, instances] = fixture;
        Instance &a = *instances[0];
        letAnswersGo(time);
        QCOMPARE(a.participants().size(), 1);
        QCOMPARE(instances[1]->participants().size(), 1);
        QVERIFY(a.closeAndWait());
        QTRY_COMPARE(instances[1]->participants().size(), 0);
        QCOMPARE(lastEntry(*instances[1]), QStringLiteral("host1さんが退場しました\t14:03:21"));
        const int logged = a.chatLog().size();
        RawPeer peer(lan, address(60));
        peer.sendText(QStringLiteral("Taro\tlate\t198.18.0.60"), address(1), 1000);
        QCoreApplication::sendPostedEvents(); // the virtual LAN hands it over here
        QCOMPARE(a.chatLog().size(), logged);
    }
};

QTEST_MAIN(TestChat)
#include "tst_chat.moc"
