#include "base/cp932.h"
#include "base/cp932bestfit.h"

#include <QStringEncoder>
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
        // Best fits, from the WCTABLE of Microsoft's bestfit932.txt.
        QTest::newRow("yen sign") << QStringLiteral("¥100") << QByteArray("\\100");
        QTest::newRow("broken bar") << QStringLiteral("¦") << QByteArray("|");
        QTest::newRow("accented latin") << QStringLiteral("Café À") << QByteArray("Cafe A");
        QTest::newRow("guillemets and micro") << QStringLiteral("«µ»") << QByteArray::fromHex("81e183ca81e2");
        QTest::newRow("hiragana vu") << QStringLiteral("ゔ") << QByteArray::fromHex("8394");
        QTest::newRow("one byte above 7f") << QStringLiteral("\u0080\uf8f0") << QByteArray::fromHex("80a0");
        QTest::newRow("best fit after a lone high surrogate")
            << (QStringLiteral("x") + QChar(0xD83D) + QStringLiteral("é")) << QByteArray("x?e");
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

    // Best fit is one way: the bytes decode as what they are, and set.txt cannot keep the character.
    void bestFitIsOneWay()
    {
        QCOMPARE(Cp932::decode(Cp932::encode(QStringLiteral("¥é"))), QStringLiteral("\\e"));
        QVERIFY(!Cp932::canEncode(QStringLiteral("¥")));
        QVERIFY(Cp932::canEncode(QStringLiteral("¢")));
    }

    // The table holds only characters the converter refuses, so it never changes a character the
    // code page holds; and it must be sorted for the lookup.
    void bestFitTableHoldsOnlyWhatTheConverterLacks()
    {
        const auto table = Cp932::bestFits();
        QCOMPARE(table.size(), size_t(89));
        for (size_t i = 0; i < table.size(); ++i) {
            QStringEncoder encoder("windows-31j", QStringConverter::Flag::Stateless);
            [[maybe_unused]] const QByteArray bytes = encoder.encode(QStringView(&table[i].character, 1));
            QVERIFY2(encoder.hasError(), qPrintable(QString::number(table[i].character, 16)));
            QVERIFY(i == 0 || table[i - 1].character < table[i].character);
        }
    }

    // Every character the converter encodes converts as before: the same bytes (but for the three
    // control codes and the Linux forms); and every character the code page holds comes back.
    void everyCharacterOfTheCodePageRoundTrips()
    {
        int held = 0;
        for (char32_t code = 0; code <= 0xFFFF; ++code) {
            if (code >= 0xD800 && code <= 0xDFFF)
                continue;
            const QString text = QString(QChar(char16_t(code)));
            QStringEncoder encoder("windows-31j", QStringConverter::Flag::Stateless);
            const QByteArray expected = encoder.encode(text);
            if (encoder.hasError())
                continue;
            ++held;
            const QByteArray bytes = Cp932::encode(text);
            if (code == 0x1A || code == 0x1C || code == 0x7F)
                QCOMPARE(bytes, QByteArray(1, char(code)));
            else if (Cp932::windowsForms(text) == text)
                QCOMPARE(bytes.toHex(), expected.toHex());
        }
        QCOMPARE(held, 9398);

        // Every byte sequence the code page defines decodes to a character that encodes to the
        // sequence again, or to its preferred twin (NEC and IBM rows hold some characters twice).
        int sequences = 0;
        for (int lead = 0; lead <= 0xFC; ++lead) {
            const bool twoBytes = (lead >= 0x81 && lead <= 0x9F) || lead >= 0xE0;
            for (int trail = twoBytes ? 0x40 : 0; trail <= (twoBytes ? 0xFC : 0); ++trail) {
                const QByteArray bytes =
                    twoBytes ? QByteArray(1, char(lead)).append(char(trail)) : QByteArray(1, char(lead));
                const std::optional<QString> text = Cp932::decodeExactly(bytes);
                if (!text)
                    continue;
                ++sequences;
                QCOMPARE(Cp932::decode(Cp932::encode(*text)), *text);
            }
        }
        QCOMPARE(sequences, 7915 + 1880); // Microsoft's table and the user-defined rows F0-F9
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
