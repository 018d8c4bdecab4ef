#include "app/broadcast.h"

#include <QTest>

class TestBroadcast : public QObject
{
    Q_OBJECT

private slots:
    void derivesFromTheTexts_data()
    {
        QTest::addColumn<QString>("localIp");
        QTest::addColumn<QString>("mask");
        QTest::addColumn<QString>("broadcast");
        const QString ip = QStringLiteral("192.168.1.23");
        QTest::newRow("/24") << ip << QStringLiteral("255.255.255.0") << QStringLiteral("192.168.1.255");
        QTest::newRow("/16") << ip << QStringLiteral("255.255.0.0") << QStringLiteral("192.168.255.255");
        QTest::newRow("/8") << ip << QStringLiteral("255.0.0.0") << QStringLiteral("192.255.255.255");
        QTest::newRow("all zero") << ip << QStringLiteral("0.0.0.0") << QStringLiteral("255.255.255.255");
        QTest::newRow("host mask") << ip << QStringLiteral("255.255.255.255") << ip;
        QTest::newRow("/23 widens the octet")
            << ip << QStringLiteral("255.255.254.0") << QStringLiteral("192.168.255.255");
        QTest::newRow("/25 widens the octet")
            << ip << QStringLiteral("255.255.255.128") << QStringLiteral("192.168.1.255");
        QTest::newRow("five parts") << ip << QStringLiteral("255.255.255.0.7")
                                    << QStringLiteral("192.168.1.255");
        QTest::newRow("0255 is not 255")
            << ip << QStringLiteral("0255.255.255.0") << QStringLiteral("255.168.1.255");
        QTest::newRow("blank around 255")
            << ip << QStringLiteral(" 255.255.255.0") << QStringLiteral("255.168.1.255");
        // The address part is only looked at where the mask part is 255.
        QTest::newRow("short address, wide mask")
            << QStringLiteral("192.168") << QStringLiteral("255.255.0.0")
            << QStringLiteral("192.168.255.255");
    }

    void derivesFromTheTexts()
    {
        QFETCH(QString, localIp);
        QFETCH(QString, mask);
        QFETCH(QString, broadcast);
        const BroadcastResult result = s_broadcast(localIp, mask);
        QVERIFY2(!result.error, qPrintable(result.error.value_or(QString())));
        QCOMPARE(result.address, broadcast);
    }

    void failsAtTheFirstMissingPart_data()
    {
        QTest::addColumn<QString>("localIp");
        QTest::addColumn<QString>("mask");
        QTest::addColumn<QString>("partial");
        QTest::newRow("three-part mask")
            << QStringLiteral("192.168.1.23") << QStringLiteral("255.255.255") << QStringLiteral("192.168.1");
        QTest::newRow("empty mask has no parts") << QStringLiteral("192.168.1.23") << QString() << QString();
        QTest::newRow("short address")
            << QStringLiteral("192.168") << QStringLiteral("255.255.255.0") << QStringLiteral("192.168");
    }

    void failsAtTheFirstMissingPart()
    {
        QFETCH(QString, localIp);
        QFETCH(QString, mask);
        QFETCH(QString, partial);
        const BroadcastResult result = s_broadcast(localIp, mask);
        QVERIFY2(result.error.has_value(), "a missing part must fail, not give a wrong address");
        QVERIFY(!result.error->isEmpty());
        QCOMPARE(result.address, partial);
    }

    void validMasksForTheDialog_data()
    {
        QTest::addColumn<QString>("mask");
        QTest::addColumn<bool>("valid");
        QTest::newRow("/24") << QStringLiteral("255.255.255.0") << true;
        QTest::newRow("zero") << QStringLiteral("0.0.0.0") << true;
        QTest::newRow("three parts") << QStringLiteral("255.255.255") << false;
        QTest::newRow("five parts") << QStringLiteral("255.255.255.0.0") << false;
        QTest::newRow("empty part") << QStringLiteral("255..255.0") << false;
        QTest::newRow("256") << QStringLiteral("255.255.256.0") << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("letters") << QStringLiteral("255.255.a.0") << false;
        QTest::newRow("leading zeros") << QStringLiteral("255.255.0255.0") << false;
    }

    void validMasksForTheDialog()
    {
        QFETCH(QString, mask);
        QFETCH(bool, valid);
        QCOMPARE(isValidSubnetMask(mask), valid);
    }
};

QTEST_APPLESS_MAIN(TestBroadcast)
#include "tst_broadcast.moc"
