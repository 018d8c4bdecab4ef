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

    // Windows maps every byte below 80 to the code point of the same number; ICU's table rotates
    // these three, which a round trip through the converter alone would hide.
    void controlCodesKeepTheirNumbers_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        const QString controls = QStringLiteral("\x1a\x1c\x7f");
        QTest::newRow("alone") << QByteArray::fromHex("1a1c7f") << controls;
        QTest::newRow("between kanji")
            << QByteArray::fromHex("8e521a936391be1c98597f") << QStringLiteral("山\x1a田太\x1c郎\x7f");
        QTest::newRow("next to 1b and 1d")
            << QByteArray::fromHex("1b1a1d7f1e") << QStringLiteral("\x1b\x1a\x1d\x7f\x1e");
    }

    void controlCodesKeepTheirNumbers()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(Cp932::decode(bytes), text);
        QCOMPARE(Cp932::decodeExactly(bytes), std::optional<QString>(text));
        QCOMPARE(Cp932::encode(text).toHex(), bytes.toHex());
        QVERIFY(Cp932::canEncode(text));
    }

    // An invalid byte must stay an error and keep the substitute it had, wherever a control code
    // stands; the control code itself is never swallowed.
    void invalidBytesBesideControlCodes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("lead byte before 7f") << QByteArray::fromHex("41817f42")
                                             << QStringLiteral("A\x1a\x7f"
                                                               "B");
        QTest::newRow("lead byte before 1a") << QByteArray::fromHex("811a") << QStringLiteral("\x1a\x1a");
        QTest::newRow("a0 before 1c") << QByteArray::fromHex("a01c") << QStringLiteral("\x1a\x1c");
        QTest::newRow("lead byte at the end after 7f") << QByteArray::fromHex("7f4181")
                                                       << QStringLiteral("\x7f"
                                                                         "A");
    }

    void invalidBytesBesideControlCodes()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(Cp932::decode(bytes), text);
        QVERIFY(!Cp932::decodeExactly(bytes));
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
