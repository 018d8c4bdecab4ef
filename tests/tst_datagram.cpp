#include "net/datagram.h"
#include "net/participants.h"

#include <QTest>

class TestDatagram : public QObject
{
    Q_OBJECT

private slots:
    void buildsTheWireTexts()
    {
        const QString ip = QStringLiteral("192.168.1.23");
        QCOMPARE(Datagram::chatLine(QStringLiteral("Taro"), QStringLiteral("hello"), ip),
                 QStringLiteral("Taro\thello\t192.168.1.23"));
        QCOMPARE(Datagram::selectedOnlyChatLine(QStringLiteral("Taro"), QStringLiteral("hello"), ip),
                 QStringLiteral("Taro\thello-Only\t192.168.1.23"));
        QCOMPARE(Datagram::joinNotice(QStringLiteral("Taro"), ip), QStringLiteral("1\tTaro\t192.168.1.23"));
        QCOMPARE(Datagram::leaveNotice(QStringLiteral("Taro"), ip), QStringLiteral("2\tTaro\t192.168.1.23"));
        // A text of blanks is sent as it is; an empty name still keeps three fields.
        QCOMPARE(Datagram::chatLine(QString(), QStringLiteral("  "), ip),
                 QStringLiteral("\t  \t192.168.1.23"));
    }

    // A TAB in the typed text would split the line and make receivers take text as the address.
    void typedTabsBecomeBlanks()
    {
        const QString line =
            Datagram::chatLine(QStringLiteral("Taro"), Datagram::outgoingText(QStringLiteral("a\tb\t")),
                               QStringLiteral("198.18.0.1"));
        const auto fields = Datagram::split(line);
        QVERIFY(fields);
        QCOMPARE(fields->field1, QStringLiteral("a b "));
        QCOMPARE(fields->field2, QStringLiteral("198.18.0.1"));
    }

    void splitting_data()
    {
        QTest::addColumn<QString>("payload");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("field2");
        QTest::newRow("three") << QStringLiteral("a\tb\tc") << true << QStringLiteral("c");
        QTest::newRow("extra fields ignored")
            << QStringLiteral("a\tb\tc\td\te") << true << QStringLiteral("c");
        QTest::newRow("empty fields") << QStringLiteral("\t\t") << true << QString();
        QTest::newRow("empty third field, more after it") << QStringLiteral("a\tb\t\td") << true << QString();
        QTest::newRow("two fields") << QStringLiteral("a\tb") << false << QString();
        QTest::newRow("one field") << QStringLiteral("hello") << false << QString();
        QTest::newRow("empty") << QString() << false << QString();
    }

    void splitting()
    {
        QFETCH(QString, payload);
        QFETCH(bool, valid);
        QFETCH(QString, field2);
        const auto fields = Datagram::split(payload);
        QCOMPARE(fields.has_value(), valid);
        if (fields)
            QCOMPARE(fields->field2, field2);
    }

    void onlyMarker_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("marked");
        QTest::newRow("selected-only line") << QStringLiteral("hello-Only") << true;
        QTest::newRow("marker inside") << QStringLiteral("a-Onlyb") << true;
        QTest::newRow("one character before") << QStringLiteral("x-Only") << true;
        QTest::newRow("marker at the start") << QStringLiteral("-Only") << false;
        QTest::newRow("first occurrence decides") << QStringLiteral("-Onlyhello-Only") << false;
        QTest::newRow("case matters") << QStringLiteral("hello-only") << false;
        QTest::newRow("no marker") << QStringLiteral("hello") << false;
    }

    void onlyMarker()
    {
        QFETCH(QString, text);
        QFETCH(bool, marked);
        QCOMPARE(Datagram::hasOnlyMarker(text), marked);
    }

    void participantEntries()
    {
        const QString entry = Participants::entry(QStringLiteral("Taro"), QStringLiteral("198.18.0.1"));
        QCOMPARE(entry, QStringLiteral("Taro\t\t198.18.0.1"));
        QCOMPARE(Participants::address(entry), QStringLiteral("198.18.0.1"));
        QCOMPARE(Participants::address(Participants::entry(QString(), QStringLiteral("198.18.0.9"))),
                 QStringLiteral("198.18.0.9"));

        const QStringList entries = {Participants::entry(QStringLiteral("a"), QStringLiteral("198.18.0.10")),
                                     Participants::entry(QStringLiteral("b"), QStringLiteral("198.18.0.1")),
                                     Participants::entry(QStringLiteral("c"), QStringLiteral("198.18.0.1"))};
        // Exact comparison: .1 is not a prefix match of .10; the first match wins.
        QCOMPARE(Participants::f_listChk(entries, QStringLiteral("198.18.0.1")), 1);
        QCOMPARE(Participants::f_listChk(entries, QStringLiteral("198.18.0.10")), 0);
        QCOMPARE(Participants::f_listChk(entries, QStringLiteral("198.18.0.100")), -1);
        QCOMPARE(Participants::f_listChk({}, QStringLiteral("198.18.0.1")), -1);
    }

    void answerDelay_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<int>("delay");
        QTest::newRow(".0 answers at once") << QStringLiteral("10.0.0.0") << 0;
        QTest::newRow(".23") << QStringLiteral("192.168.1.23") << 230;
        QTest::newRow(".255") << QStringLiteral("10.0.0.255") << 2550;
        // Ten times a part this large does not fit in an int.
        QTest::newRow("part above 255") << QStringLiteral("10.0.0.256") << 0;
        QTest::newRow("part that overflows") << QStringLiteral("10.0.0.214748365") << 0;
    }

    void answerDelay()
    {
        QFETCH(QString, ip);
        QFETCH(int, delay);
        QCOMPARE(Participants::answerDelayMs(ip), delay);
    }

    void joinAndLeaveLines()
    {
        QCOMPARE(Participants::joinLine(QStringLiteral("Taro"), QStringLiteral("14:03:21")),
                 QStringLiteral("Taroさんが参加しました\t14:03:21"));
        QCOMPARE(Participants::leaveLine(QString(), QStringLiteral("9:05:07")),
                 QStringLiteral("さんが退場しました\t9:05:07"));
    }
};

QTEST_APPLESS_MAIN(TestDatagram)
#include "tst_datagram.moc"
