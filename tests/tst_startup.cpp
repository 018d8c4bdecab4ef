#include "testsupport.h"

#include "app/settingsfile.h"
#include "app/sharedfiles.h"
#include "app/windowservices.h"
#include "base/cp932.h"
#include "history/history.h"
#include "history/historystore.h"
#include "net/chatsession.h"
#include "share/shareregistry.h"
#include "ui/form1.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <sys/stat.h>

namespace {

const QString hostA = QStringLiteral("198.18.0.1");

QByteArray settingsLine(const QByteArray &name, const QByteArray &rest)
{
    return name + '\t' + rest + "\r\n";
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void appFolderEndsInOneSeparator()
    {
        QCOMPARE(Module1::appFolderOf(QStringLiteral("/opt/zumzum")), QStringLiteral("/opt/zumzum/"));
        QCOMPARE(Module1::appFolderOf(QStringLiteral("/")), QStringLiteral("/"));
    }

    void startsWithDefaultsAndAnnouncesOnceVisible()
    {
        LanWithInstance fixture(hostA, QStringLiteral("host-a"));
        auto &[lan, time, a] = fixture;
        QList<bool> visibleAtSend;
        lan.setSendObserver(
            [&](const VirtualLan::Datagram &) { visibleAtSend.append(a.form()->isVisible()); });

        QVERIFY(a.start());
        QVERIFY(a.messages.shown.isEmpty());
        Form1 *form = a.form();
        QVERIFY(form->isVisible());
        QCOMPARE(form->frameGeometry().topLeft(), QPoint(0, 0));
        QCOMPARE(form->frameGeometry().size(), QSize(6630 / 15, 4455 / 15));
        QCOMPARE(form->focusWidget(), static_cast<QWidget *>(form->text1()));
        QVERIFY(!isTopMost(form));
        QCOMPARE(form->setMM(1)->iconText(), QStringLiteral("Top"));
        QCOMPARE(form->windowTitle(), QStringLiteral("Zumzumちゃっと"));
        QVERIFY(a.chatLog().isEmpty());
        QVERIFY(a.participants().isEmpty());

        QCOMPARE(a.record().localIp, hostA);
        QCOMPARE(a.record().broadcastAddress, lanBroadcast);
        // The own leave notice (dropping a stale entry of an earlier session) and then the join.
        QCOMPARE(sentTexts(lan, 50011), (QStringList{QStringLiteral("2\thost-a\t198.18.0.1"),
                                                     QStringLiteral("1\thost-a\t198.18.0.1")}));
        QCOMPARE(lan.sentTo(50011).last().to.toString(), lanBroadcast);
        QCOMPARE(visibleAtSend, (QList<bool>{true, true}));
        QVERIFY2(!QFile::exists(a.folder() + QStringLiteral("/set.txt")), "nothing is written at start-up");

        // Both sockets are bound: a unicast on the chat port and a join on 50011 arrive.
        RawPeer peer(lan, QStringLiteral("198.18.0.50"));
        peer.sendText(QStringLiteral("Taro\thello\t198.18.0.50"), hostA, 1000);
        peer.sendText(QStringLiteral("1\tTaro\t198.18.0.50"), lanBroadcast, 50011);
        QTRY_COMPARE(a.chatLog().size(), 2);
        QVERIFY(a.chatLog().contains(QStringLiteral("Taro>hello\t14:03:21")));
        QVERIFY(a.chatLog().contains(QStringLiteral("Taroさんが参加しました\t14:03:21")));
    }

    void takesTheSettingsFile()
    {
        LanWithInstance fixture(hostA, QStringLiteral("host-a"));
        auto &[lan, time, a] = fixture;
        const QByteArray name = QByteArray::fromHex("8e52936391be9859"); // 山田太郎 in code page 932
        a.writeSettings(settingsLine(name, "1\t1\t300\t150\t7500\t5100\t255.255.0.0\t1\t2000"));
        QVERIFY(a.start());
        Form1 *form = a.form();
        QCOMPARE(a.record().userName, QStringLiteral("山田太郎"));
        QVERIFY(isTopMost(form));
        QCOMPARE(form->setMM(1)->iconText(), QStringLiteral("No Top"));
        QCOMPARE(form->frameGeometry(), QRect(20, 10, 500, 340));
        QCOMPARE(a.record().broadcastAddress, QStringLiteral("198.18.255.255"));
        QCOMPARE(lan.sentTo(50011).last().payload, QByteArray("1\t") + name + "\t198.18.0.1");

        // A line to the chat port 2000 arrives; the default port is not bound.
        RawPeer peer(lan, QStringLiteral("198.18.0.50"));
        peer.sendText(QStringLiteral("x\ton 1000\t198.18.0.50"), hostA, 1000);
        peer.sendText(QStringLiteral("x\ton 2000\t198.18.0.50"), hostA, 2000);
        QTRY_COMPARE(a.chatLog().size(), 1);
        QVERIFY(a.chatLog().first().contains(QStringLiteral("on 2000")));

        // Closing saves the name bytes unchanged, the geometry where the window is, CR LF.
        QVERIFY(a.closeAndWait());
        QCOMPARE(a.settingsBytes(), settingsLine(name, "1\t1\t300\t150\t7500\t5100\t255.255.0.0\t1\t2000"));
    }

    // Every start-up failure: the "err" box with the description, no window, nothing sent.
    void failuresShowErrAndSendNothing_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("mentions");
        const QByteArray ok = "0\t1\t0\t0\t6630\t4455\t255.255.255.0\t0\t1000\r\n";
        QTest::newRow("eight fields") << QByteArray("abc\t0\t1\t0\t0\t6630\t4455\t255.255.255.0\r\n")
                                      << QString() << QStringLiteral("set.txt");
        QTest::newRow("number field not a number")
            << QByteArray("abc\t0\t1\tleft\t0\t6630\t4455\t255.255.255.0\t0\t1000\r\n") << QString()
            << QStringLiteral("left");
        QTest::newRow("empty file") << QByteArray("") << QString() << QStringLiteral("set.txt");
        QTest::newRow("three-part mask")
            << QByteArray("abc\t0\t1\t0\t0\t6630\t4455\t255.255.255\t0\t1000\r\n") << QString()
            << QStringLiteral("255.255.255");
        QTest::newRow("port not a number")
            << QByteArray("abc\t0\t1\t0\t0\t6630\t4455\t255.255.255.0\t0\tabc\r\n") << QString()
            << QStringLiteral("abc");
        QTest::newRow("port out of range")
            << QByteArray("abc\t0\t1\t0\t0\t6630\t4455\t255.255.255.0\t0\t70000\r\n") << QString()
            << QStringLiteral("70000");
        QTest::newRow("port held by another instance")
            << QByteArray("abc\t" + ok) << QStringLiteral("held") << QStringLiteral("1000");
        QTest::newRow("privileged port")
            << QByteArray("abc\t" + ok) << QStringLiteral("unprivileged") << QStringLiteral("setcap");
        QTest::newRow("no network") << QByteArray("abc\t" + ok) << QStringLiteral("offline")
                                    << QStringLiteral("ネットワーク");
    }

    void failuresShowErrAndSendNothing()
    {
        QFETCH(QByteArray, settings);
        QFETCH(QString, setup);
        QFETCH(QString, mentions);
        VirtualLan lan;
        ManualScheduler time;
        std::unique_ptr<Instance> first;
        if (setup == QLatin1String("held")) {
            first = std::make_unique<Instance>(lan, time, hostA, QStringLiteral("host-a"));
            QVERIFY(first->start());
            lan.clearSent();
        }
        Instance a(lan, time, hostA, QStringLiteral("host-a"));
        a.writeSettings(settings);
        if (setup == QLatin1String("unprivileged"))
            a.host().setCanBindPrivileged(false);
        if (setup == QLatin1String("offline"))
            a.host().setNetworkAvailable(false);
        const QByteArray before = a.settingsBytes();

        QVERIFY(!a.start());
        QCOMPARE(a.messages.shown.size(), 1);
        QCOMPARE(a.messages.shown.first().title, QStringLiteral("err"));
        QVERIFY2(a.messages.shown.first().text.contains(mentions), qPrintable(a.messages.shown.first().text));
        QVERIFY(!a.form() || !a.form()->isVisible());
        QVERIFY2(lan.sent().isEmpty(), "a failed start must send nothing");
        QCOMPARE(a.settingsBytes(), before);
    }

    // A port text the settings file loads must also bind: one conversion rule for both.
    void portTextsThatLoadAlsoBind_data()
    {
        QTest::addColumn<QByteArray>("port");
        QTest::addColumn<int>("bound");
        QTest::newRow("trailing point") << QByteArray("60.") << 60;
        QTest::newRow("exponent") << QByteArray("1e3") << 1000;
        QTest::newRow("half goes to even") << QByteArray("2000.5") << 2000;
    }

    void portTextsThatLoadAlsoBind()
    {
        QFETCH(QByteArray, port);
        QFETCH(int, bound);
        LanWithInstance fixture(hostA, QStringLiteral("host-a"));
        auto &[lan, time, a] = fixture;
        a.writeSettings(settingsLine("abc", "0\t1\t0\t0\t6630\t4455\t255.255.255.0\t0\t" + port));
        QVERIFY2(a.start(), qPrintable(a.messages.shown.value(0).text));
        RawPeer peer(lan, QStringLiteral("198.18.0.50"));
        peer.sendText(QStringLiteral("x\tarrived\t198.18.0.50"), hostA, quint16(bound));
        QTRY_COMPARE(a.chatLog().size(), 1);
    }

    // Geometry from a hand-edited set.txt is held to what the window system can hold; computing
    // the saved twips from it must not overflow.
    void extremeGeometryIsHeldToTheScreen()
    {
        LanWithInstance fixture(hostA, QStringLiteral("host-a"));
        auto &[lan, time, a] = fixture;
        a.writeSettings(
            settingsLine("abc", "0\t1\t-2147483648\t2147483647\t2147483647\t-5\t255.255.255.0\t0\t1000"));
        QVERIFY(a.start());
        QVERIFY(a.closeAndWait());
        const QList<QByteArray> saved = a.settingsBytes().split('\t');
        QCOMPARE(saved.size(), 10);
        QCOMPARE(saved.at(3), QByteArray("-491520"));
        QCOMPARE(saved.at(4), QByteArray("491505"));
        QCOMPARE(saved.at(5), QByteArray("491505"));
        QVERIFY2(saved.at(6).toInt() > 0, saved.at(6).constData());
    }

    void closingSavesThenLeavesOnce()
    {
        LanWithInstance fixture(hostA, QStringLiteral("host-a"));
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        lan.clearSent();
        QByteArray fileAtLeave;
        lan.setSendObserver([&](const VirtualLan::Datagram &) { fileAtLeave = a.settingsBytes(); });
        a.form()->move(45, 30);
        QSignalSpy finished(&a.module(), &Module1::finished);
        a.form()->close();
        QCOMPARE(sentTexts(lan, 50011), QStringList{QStringLiteral("2\thost-a\t198.18.0.1")});
        QCOMPARE(fileAtLeave, QByteArray("host-a\t0\t1\t675\t450\t6630\t4455\t255.255.255.0\t0\t1000\r\n"));
        time.advance(999);
        QVERIFY2(finished.isEmpty(), "the program ends a second after the leave notice");
        time.advance(1);
        QCOMPARE(finished.count(), 1);
        a.form()->close(); // a second close changes nothing
        QCOMPARE(sentTexts(lan, 50011).size(), 1);
    }

    // main() may end the process with _Exit, skipping every destructor, as soon as the leaving
    // sequence ends: by then every line handed to the history is in its file, even when the
    // file's opening had not been answered yet.
    void leavingStoresTheHistory()
    {
        LanWithInstance fixture(hostA, QStringLiteral("host-a"));
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        constexpr int lines = 300;
        for (int i = 0; i < lines; ++i)
            a.session()->s_listSend(QStringLiteral("最後の行 %1").arg(i), {});
        QVERIFY(a.closeAndWait());

        HistoryStore store;
        QCOMPARE(store.open(a.module().history()->path(), false).problem, HistoryProblem::None);
        const HistoryLines kept = store.newest(10 * lines);
        const auto sent = std::count_if(kept.cbegin(), kept.cend(), [](const HistoryLine &line) {
            return line.kind == HistoryLine::Kind::SentToSelected;
        });
        QCOMPARE(sent, lines);
    }

    // A program folder this user cannot write (an installed one; here one that does not exist):
    // the settings go to the user's configuration folder, created with the first save.
    void unwritableProgramFolderSavesToTheUsersFolder()
    {
        QTemporaryDir config;
        const QByteArray previous = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        const auto restore = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", previous); });
        // The history goes to the user's data folder then.
        const QByteArray previousData = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(config.path() + QStringLiteral("/data")));
        const auto restoreData = qScopeGuard([&] { qputenv("XDG_DATA_HOME", previousData); });
        const QString userFile = config.path() + QLatin1Char('/') + QCoreApplication::applicationName() +
                                 QStringLiteral("/set.txt");

        LanWithInstance fixture(hostA, QStringLiteral("host-a"),
                                config.path() + QStringLiteral("/no-program-folder"));
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        QCOMPARE(a.record().appFolder, config.path() + QStringLiteral("/no-program-folder/"));
        QVERIFY(!QFile::exists(userFile));
        QTRY_VERIFY(a.module().history() && a.module().history()->state() == History::State::Ready);
        const QFileInfo history(config.path() + QStringLiteral("/data/zumzum-chat/history.sqlite"));
        QVERIFY(history.exists());
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                                QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                                QFileDevice::WriteOther | QFileDevice::ExeOther;
        QCOMPARE(QFileInfo(history.absolutePath()).permissions() & others, QFileDevice::Permissions());
        QCOMPARE(history.permissions() & others, QFileDevice::Permissions());
        QVERIFY(a.closeAndWait());
        QVERIFY2(a.messages.shown.isEmpty(), qPrintable(a.messages.shown.value(0).text));
        QFile saved(userFile);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QByteArray("host-a\t0\t1\t0\t0\t6630\t4455\t255.255.255.0\t0\t1000\r\n"));
    }

    // A data folder that cannot be written: one line in the chat log says what is not kept (the
    // history, and the shares beyond this run) and what to do, in words of its own, not a
    // library's; sharing goes on in memory.
    void unwritableDataFolderIsToldInOneLine()
    {
        QTemporaryDir home;
        // Below a regular file no folder can be made, by root either.
        QFile plain(home.filePath(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        const QByteArray previous = qgetenv("XDG_DATA_HOME"), previousConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(plain.fileName() + QStringLiteral("/data")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
        const auto restore = qScopeGuard([&] {
            qputenv("XDG_DATA_HOME", previous);
            qputenv("XDG_CONFIG_HOME", previousConfig);
        });
        LanWithInstance fixture(hostA, QStringLiteral("host-a"),
                                home.path() + QStringLiteral("/no-program-folder"));
        auto &[lan, time, a] = fixture;
        a.enableSharing();
        QVERIFY(a.start());
        QTRY_VERIFY(a.module().history() && a.module().history()->state() == History::State::Off);
        time.advance(Module1::sharingDelayMs);
        QVERIFY(a.module().sharedFiles());
        QVERIFY(a.module().sharedFiles()->registry()->inMemoryOnly());

        const QStringList told = a.chatLog().filter(QRegularExpression(QStringLiteral("履歴|共有|記録")));
        QCOMPARE(told.size(), 1);
        const QString line = told.constFirst();
        QVERIFY2(line.contains(QStringLiteral("履歴は保存されません")) &&
                     line.contains(QStringLiteral("共有")) && line.contains(QStringLiteral("起動し直す")),
                 qPrintable(line));
        // Two words of Latin letters in a row outside the file's path are a library's text ("Not a
        // directory", "unable to open database file").
        const QRegularExpression libraryText(QStringLiteral("[A-Za-z]{2,}[ :]+[A-Za-z]{2,}"));
        for (QString entry : a.chatLog()) {
            entry.remove(home.path());
            QVERIFY2(!libraryText.match(entry).hasMatch(), qPrintable(entry));
        }
    }

    // The data folder an earlier version made with the default mode becomes the user's alone.
    void ownDataFolderIsTightened()
    {
        QTemporaryDir home;
        const QByteArray previous = qgetenv("XDG_DATA_HOME"), previousConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
        const auto restore = qScopeGuard([&] {
            qputenv("XDG_DATA_HOME", previous);
            qputenv("XDG_CONFIG_HOME", previousConfig);
        });
        const QString folder = home.path() + QStringLiteral("/zumzum-chat");
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
        // A program folder this user cannot write: the history goes to the data folder.
        LanWithInstance fixture(hostA, QStringLiteral("host-a"),
                                home.path() + QStringLiteral("/no-program-folder"));
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        QTRY_VERIFY(a.module().history() && a.module().history()->state() == History::State::Ready);
        QCOMPARE(a.module().history()->path(), folder + QStringLiteral("/history.sqlite"));
        QCOMPARE(QFileInfo(folder).permissions() &
                     ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    void failedSaveOnCloseIsReportedAndStillLeaves()
    {
        LanWithInstance fixture(hostA, QStringLiteral("host-a"));
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        a.record().appFolder = a.folder() + QStringLiteral("/missing/");
        a.record().settingsSavePath = SettingsFile::path(a.record().appFolder);
        lan.clearSent();
        QVERIFY(a.closeAndWait());
        QCOMPARE(a.messages.shown.size(), 1);
        QVERIFY(a.messages.shown.first().text.contains(QStringLiteral("missing")));
        QCOMPARE(sentTexts(lan, 50011).size(), 1);
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
