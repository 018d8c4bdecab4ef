// The program on a desktop: the platform asked for on Wayland, Qt's own texts in the user's
// language (run with LANG=ja_JP.UTF-8), and the main window's keyboard order and accessible names.
#include "testsupport.h"

#include "desktop/platformchoice.h"
#include "desktop/qttranslations.h"
#include "desktop/screenreaderfollower.h"
#include "desktop/sessionbusdetour.h"
#include "desktop/sessionbusprobe.h"
#include "fakebusserver.h"
#include "ui/entrylistview.h"
#include "ui/form1.h"
#include "ui/participantlistview.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

namespace {

QStringList actionTexts(QMenu *menu)
{
    QStringList texts;
    for (const QAction *action : menu->actions())
        texts.append(action->text());
    return texts;
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT

private slots:
    // The desktop's switch is told as a changed value or, by some buses, only as invalidated.
    void screenReaderSwitch()
    {
        const QString status = QStringLiteral("org.a11y.Status");
        const QVariantMap on{{QStringLiteral("IsEnabled"), true}};
        const QVariantMap off{{QStringLiteral("ScreenReaderEnabled"), false}};
        QVERIFY(ScreenReaderFollower::concernsScreenReader(status, on, {}));
        QVERIFY(ScreenReaderFollower::concernsScreenReader(status, off, {}));
        QVERIFY(ScreenReaderFollower::concernsScreenReader(status, {}, {QStringLiteral("IsEnabled")}));
        QVERIFY(!ScreenReaderFollower::concernsScreenReader(QStringLiteral("org.a11y.Bus"), on, {}));
        QVERIFY(!ScreenReaderFollower::concernsScreenReader(status, {{QStringLiteral("Other"), true}},
                                                            {QStringLiteral("Other")}));
    }

    // The buses the probe asks, and the forms left to libdbus.
    void sessionBusAddresses()
    {
        for (const QByteArray address :
             {"unix:path=/run/user/1000/bus", "unix:abstract=/tmp/dbus-Xa,guid=0123;unix:path=/tmp/a%20b%2c"})
            QVERIFY2(SessionBusProbe::askable(address), address.constData());
        for (const QByteArray address :
             {"tcp:host=localhost,port=1", "unix:path=/a;autolaunch:", "unix:runtime=yes", "unix:path=/a%2",
              "unix:guid=0123", "path=/a", ""})
            QVERIFY2(!SessionBusProbe::askable(address), address.constData());

        QCOMPARE(SessionBusDetour::addressToAsk("unix:path=/x", true, "/run/user/7", true),
                 QByteArray("unix:path=/x"));
        // Without the variable, or with it empty, libdbus takes the user's bus in the runtime folder.
        QCOMPARE(SessionBusDetour::addressToAsk({}, false, "/run/user/7", true),
                 QByteArray("unix:path=/run/user/7/bus"));
        QCOMPARE(SessionBusDetour::addressToAsk({}, true, "/run/a b", true),
                 QByteArray("unix:path=/run/a%20b/bus"));
        QCOMPARE(SessionBusDetour::addressToAsk({}, false, "/run/user/7", false), QByteArray());
        QCOMPARE(SessionBusDetour::addressToAsk({}, false, {}, true), QByteArray());
    }

    // A bus that accepts and never answers held Qt 6.8's start-up for libdbus's 25 s; one that
    // answers, or is not there at all, costs libdbus nothing and is left to it.
    void silentSessionBus()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const std::chrono::milliseconds deadline(100);
        const auto address = [&dir](const QString &name) {
            return "unix:path=" + QFile::encodeName(dir.filePath(name));
        };
        const FakeBusServer mute(dir.filePath(QStringLiteral("mute")), FakeBusServer::Answers::Nothing);
        const FakeBusServer proxy(dir.filePath(QStringLiteral("proxy")),
                                  FakeBusServer::Answers::Authentication);
        QVERIFY(mute.listening() && proxy.listening());

        QElapsedTimer timer;
        timer.start();
        QCOMPARE(SessionBusProbe::ask(address(QStringLiteral("mute")), deadline),
                 SessionBusProbe::Answer::Silent);
        QCOMPARE(SessionBusProbe::ask(address(QStringLiteral("proxy")), deadline),
                 SessionBusProbe::Answer::Silent);
        QVERIFY2(timer.elapsed() < 5000, "the deadline is not kept");
        QVERIFY2(proxy.received().contains("AUTH EXTERNAL"), proxy.received().constData());
        QCOMPARE(SessionBusProbe::ask(address(QStringLiteral("nothing-here")), deadline),
                 SessionBusProbe::Answer::Unreachable);

        // A real daemon, behind an entry that takes no connection: tried in order, as Qt's
        // connection does, and it greets.
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            QSKIP("dbus-daemon is not installed");
        QProcess process;
        process.start(
            daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"),
                     QStringLiteral("--address=") + QString::fromLocal8Bit(address(QStringLiteral("bus")))});
        QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir.filePath(QStringLiteral("bus"))), 10000);
        QCOMPARE(SessionBusProbe::ask(address(QStringLiteral("nothing-here")) + ';' +
                                          address(QStringLiteral("bus")),
                                      std::chrono::seconds(10)),
                 SessionBusProbe::Answer::Greets);
        process.terminate();
        QVERIFY(process.waitForFinished());
    }

    void platformOnWayland_data()
    {
        QTest::addColumn<QByteArray>("waylandDisplay");
        QTest::addColumn<QByteArray>("sessionType");
        QTest::addColumn<QByteArray>("qpaPlatform");
        QTest::addColumn<bool>("xcbInstalled");
        QTest::addColumn<QByteArray>("asked");
        const QByteArray x11 = "xcb;wayland";
        QTest::newRow("X11 session") << QByteArray() << QByteArray("x11") << QByteArray() << true
                                     << QByteArray();
        QTest::newRow("no session type")
            << QByteArray() << QByteArray() << QByteArray() << true << QByteArray();
        QTest::newRow("WAYLAND_DISPLAY")
            << QByteArray("wayland-0") << QByteArray() << QByteArray() << true << x11;
        QTest::newRow("session type wayland")
            << QByteArray() << QByteArray("wayland") << QByteArray() << true << x11;
        QTest::newRow("both") << QByteArray("wayland-0") << QByteArray("wayland") << QByteArray() << true
                              << x11;
        QTest::newRow("empty QT_QPA_PLATFORM")
            << QByteArray("wayland-0") << QByteArray("wayland") << QByteArray("") << true << x11;
        QTest::newRow("user's choice kept") << QByteArray("wayland-0") << QByteArray("wayland")
                                            << QByteArray("wayland") << true << QByteArray();
        QTest::newRow("no xcb plugin")
            << QByteArray("wayland-0") << QByteArray("wayland") << QByteArray() << false << QByteArray();
    }

    void platformOnWayland()
    {
        QFETCH(QByteArray, waylandDisplay);
        QFETCH(QByteArray, sessionType);
        QFETCH(QByteArray, qpaPlatform);
        QFETCH(bool, xcbInstalled);
        QFETCH(QByteArray, asked);
        QCOMPARE(PlatformChoice::platformToAskFor(waylandDisplay, sessionType, qpaPlatform, xcbInstalled),
                 asked);
    }

    // The test runs with LANG=ja_JP.UTF-8; the system locale comes from it without a generated locale.
    void qtTextsInTheUsersLanguage()
    {
        QCOMPARE(QLocale().language(), QLocale::Japanese);
        QLineEdit edit;
        std::unique_ptr<QMenu> before(edit.createStandardContextMenu());
        QVERIFY2(actionTexts(before.get()).first().startsWith(QStringLiteral("&Undo")),
                 qPrintable(actionTexts(before.get()).join(u'|')));

        QVERIFY(installQtTranslations(*qApp, QLocale()));
        std::unique_ptr<QMenu> after(edit.createStandardContextMenu());
        QVERIFY2(actionTexts(after.get()).first().startsWith(QStringLiteral("元に戻す")),
                 qPrintable(actionTexts(after.get()).join(u'|')));
        // No translation for a language Qt does not ship.
        QVERIFY(!installQtTranslations(*qApp, QLocale(QLocale::Zulu)));
    }

    // Tab visits every control once, around and back, also when the chat log holds lines.
    void tabChainOfTheMainWindow()
    {
        LanWithInstance fixture;
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        Form1 *form = a.form();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form));
        RawPeer peer(lan, QStringLiteral("198.18.0.50"));
        for (const char *line : {"one", "two", "three"})
            peer.sendText(QStringLiteral("Taro\t%1\t198.18.0.50").arg(QLatin1String(line)), lanBroadcast,
                          1000);
        peer.sendText(QStringLiteral("1\tTaro\t198.18.0.50"), lanBroadcast, 50011);
        QTRY_COMPARE(a.chatLog().size(), 4);
        QTRY_COMPARE(a.participants().size(), 1);
        form->list1()->setCurrentIndex(form->list1()->model()->index(0, 0));
        form->list2()->setCurrentIndex(form->list2()->model()->index(0, 0));

        const QList<QWidget *> chain = {form->text1(), form->list1(), form->command1(), form->list2(),
                                        form->check1()};
        form->text1()->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), form->text1());
        for (int step = 1; step <= chain.size(); ++step) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QTRY_COMPARE(QApplication::focusWidget(), chain.at(step % chain.size()));
        }
        for (int step = chain.size() - 1; step >= 0; --step) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
            QTRY_COMPARE(QApplication::focusWidget(), chain.at(step));
        }
    }

    void accessibleNamesOfTheMainWindow()
    {
        LanWithInstance fixture;
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        Form1 *form = a.form();
        QCOMPARE(form->text1()->accessibleName(), QStringLiteral("入力欄"));
        QCOMPARE(form->list1()->accessibleName(), QStringLiteral("チャットログ"));
        QCOMPARE(form->list2()->accessibleName(), QStringLiteral("参加者リスト"));
        const auto *label = form->findChild<QLabel *>(QStringLiteral("Label1"));
        QVERIFY(label);
        QCOMPARE(label->buddy(), static_cast<QWidget *>(form->list2()));
    }
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
