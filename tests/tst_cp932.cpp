#include "app/cp932.h"

#include <QTest>

// Byte oracles come from iconv -t CP932, not from the converter under test.
class TestCp932 : public QObject
{
    Q_OBJECT

private slots:
    void encodesLikeWindows_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("kanji name") << QStringLiteral("山田太郎") << QByteArray::fromHex("8e52936391be9859");
        QTest::newRow("ascii") << QStringLiteral("abc 123") << QByteArray("abc 123");
        QTest::newRow("half-width kana") << QStringLiteral("ｱ") << QByteArray::fromHex("b1");
        QTest::newRow("circled digit") << QStringLiteral("①") << QByteArray::fromHex("8740");
        QTest::newRow("fullwidth backslash") << QStringLiteral("＼") << QByteArray::fromHex("815f");
        // Linux input methods produce these where Windows uses another code point.
        QTest::newRow("wave dash") << QStringLiteral("〜") << QByteArray::fromHex("8160");
        QTest::newRow("minus sign") << QStringLiteral("−") << QByteArray::fromHex("817c");
        QTest::newRow("not sign") << QStringLiteral("¬") << QByteArray::fromHex("81ca");
        QTest::newRow("double vertical line") << QStringLiteral("‖") << QByteArray::fromHex("8161");
        QTest::newRow("em dash") << QStringLiteral("—") << QByteArray::fromHex("815c");
        QTest::newRow("cent") << QStringLiteral("¢") << QByteArray::fromHex("8191");
        QTest::newRow("pound") << QStringLiteral("£") << QByteArray::fromHex("8192");
    }

    void encodesLikeWindows()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(Cp932::encode(text).toHex(), bytes.toHex());
    }

    // Qt's own output for these is FC FC, which reaches Windows peers as garbage.
    void unrepresentableCharactersBecomeQuestionMarks_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("emoji is one character") << QStringLiteral("a😀b") << QByteArray("a?b");
        QTest::newRow("hangul") << QStringLiteral("한글") << QByteArray("??");
        QTest::newRow("mixed with kanji")
            << QStringLiteral("山😀田") << (QByteArray::fromHex("8e52") + '?' + QByteArray::fromHex("9363"));
        QTest::newRow("lone surrogate") << QString(QChar(0xD83D)) << QByteArray("?");
        QTest::newRow("lone high surrogate at the end")
            << (QStringLiteral("x") + QChar(0xD83D)) << QByteArray("x?");
        QTest::newRow("lone low surrogate")
            << (QString(QChar(0xDC00)) + QStringLiteral("z")) << QByteArray("?z");
        // FC is also a trail byte: the replacement must not start in the middle of a character.
        QTest::newRow("after a character ending in FC")
            << QStringLiteral("髙😀") << (QByteArray::fromHex("fbfc") + '?');
        QTest::newRow("long text around one emoji")
            << (QString(30000, QLatin1Char('a')) + QStringLiteral("😀") + QString(30000, QChar(0x5C71)))
            << (QByteArray(30000, 'a') + '?' + QByteArray::fromHex("8e52").repeated(30000));
    }

    void unrepresentableCharactersBecomeQuestionMarks()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        const QByteArray encoded = Cp932::encode(text);
        QCOMPARE(encoded, bytes);
        QVERIFY2(!encoded.contains(QByteArray::fromHex("fcfc")), "FC FC must never reach the wire");
    }

    void decodesEachPayloadOnItsOwn()
    {
        QCOMPARE(Cp932::decode(QByteArray::fromHex("8e52936391be9859")), QStringLiteral("山田太郎"));
        // A lead byte left at the end of one datagram must not swallow the start of the next.
        const QString broken = Cp932::decode(QByteArray::fromHex("41"
                                                                 "81"));
        QVERIFY(broken.startsWith(QLatin1Char('A')));
        QCOMPARE(Cp932::decode(QByteArray("B\tC")), QStringLiteral("B\tC"));
    }

    void invalidBytesNeverFail()
    {
        QByteArray noise;
        for (int i = 0; i < 256; ++i)
            noise.append(char(i));
        const QString text = Cp932::decode(noise);
        QVERIFY(!text.isEmpty());
        QVERIFY(text.contains(QLatin1Char('\t')));
    }
};

QTEST_APPLESS_MAIN(TestCp932)
#include "tst_cp932.moc"
