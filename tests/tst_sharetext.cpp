#include "base/cp932.h"
#include "share/safefilename.h"
#include "share/sharelinks.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString shareLink = QStringLiteral("http://198.18.0.11:50012/f/K7QXM2PDA9");

QStringList linkTexts(const QString &text, const QList<ShareLinks::FoundLink> &links)
{
    QStringList texts;
    for (const auto &found : links)
        texts << text.mid(found.start, found.length) + QLatin1Char('=') + found.code;
    return texts;
}

} // namespace

class TestShareText : public QObject
{
    Q_OBJECT

private slots:
    void sizeText_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty file") << qint64(0) << QStringLiteral("0 B");
        QTest::newRow("below a kilobyte") << qint64(999) << QStringLiteral("999 B");
        QTest::newRow("one kilobyte") << qint64(1000) << QStringLiteral("1.0 KB");
        QTest::newRow("rounded half up") << qint64(2450000) << QStringLiteral("2.5 MB");
        QTest::newRow("just below the next unit") << qint64(999949) << QStringLiteral("999.9 KB");
        QTest::newRow("rounds into the next unit") << qint64(999950) << QStringLiteral("1.0 MB");
        QTest::newRow("rounds into the next unit, top") << qint64(999999) << QStringLiteral("1.0 MB");
        QTest::newRow("as in the line") << qint64(2400000) << QStringLiteral("2.4 MB");
        QTest::newRow("beyond 32 bits") << qint64(4300000000) << QStringLiteral("4.3 GB");
        QTest::newRow("largest size") << std::numeric_limits<qint64>::max() << QStringLiteral("9.2 EB");
    }
    void sizeText()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(ShareLinks::sizeText(bytes), text);
    }

    // Whatever the name, the line reaches the peers in code page 932 as one field, never taken for
    // a selected-only line, with the shareLink as plain ASCII that is found again with its code.
    void lineSurvivesTheWire_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << QStringLiteral("見積書_v3.xlsx");
        QTest::newRow("marker in the name") << QStringLiteral("report-Only.pdf");
        QTest::newRow("two hyphens") << QStringLiteral("a--Only--Only");
        QTest::newRow("soft hyphen becomes '-' in cp932") << QStringLiteral("a\u00ADOnly.txt");
        QTest::newRow("accented O becomes 'O' in cp932") << QStringLiteral("a-\u00D3nly.txt");
        QTest::newRow("tab, newline, line separator") << QStringLiteral("a\tb\r\nc\u2028d\u0085e");
        QTest::newRow("right-to-left override") << QStringLiteral("photo\u202Egpj.exe");
        QTest::newRow("long, cut inside a surrogate pair") << (QString(78, u'x') + QStringLiteral("😀😀"));
    }
    void lineSurvivesTheWire()
    {
        QFETCH(QString, name);
        for (const ShareLifetime lifetime : shareLifetimes) {
            const QString line = ShareLinks::lineText(name, 2400000, shareLink, lifetime);
            const QString inLine = ShareLinks::nameInLine(name);
            QVERIFY2(inLine.size() <= ShareLinks::maxNameCharacters, qPrintable(inLine));
            QCOMPARE(QString::fromUtf8(inLine.toUtf8()), inLine); // no half of a surrogate pair
            const QByteArray bytes = Cp932::encode(line);
            QVERIFY2(!Cp932::decode(bytes).contains(QStringLiteral("-Only")), qPrintable(line));
            for (const char byte : bytes)
                QVERIFY2(uchar(byte) >= 0x20 && byte != 0x7F, qPrintable(line));
            QVERIFY(bytes.contains(" " + shareLink.toLatin1() + " "));
            QVERIFY(line.endsWith(QStringLiteral("（%1有効）").arg(caption(lifetime))));
            // As the peers receive it, plain and selected-only.
            for (const QString &received :
                 {Cp932::decode(bytes), Cp932::decode(bytes) + QStringLiteral("-Only")}) {
                const auto links = ShareLinks::find(received);
                QCOMPARE(linkTexts(received, links), QStringList{shareLink + QStringLiteral("=K7QXM2PDA9")});
                QCOMPARE(links[0].url, QUrl(shareLink));
                QCOMPARE(ShareLinks::sharedName(received, links[0]), Cp932::decode(Cp932::encode(inLine)));
            }
        }
        QCOMPARE(
            ShareLinks::lineText(QStringLiteral("見積書_v3.xlsx"), 2400000, shareLink, ShareLifetime::OneDay),
            QStringLiteral("[ファイル] 見積書_v3.xlsx (2.4 MB) ") + shareLink +
                QStringLiteral(" （24時間有効）"));
    }

    void find_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("found"); // shareLink text=code
        const QString code = QStringLiteral("=K7QXM2PDA9");
        QTest::newRow("lower-case code typed")
            << QStringLiteral("見て http://198.18.0.11:50012/f/k7qxm2pda9 です")
            << QStringList{QStringLiteral("http://198.18.0.11:50012/f/k7qxm2pda9") + code};
        QTest::newRow("typed last, selected only")
            << (shareLink + QStringLiteral("-Only")) << QStringList{shareLink + code};
        QTest::newRow("sentence punctuation")
            << QStringLiteral("「%1」、(%1). %1,").arg(shareLink)
            << QStringList{shareLink + code, shareLink + code, shareLink + code};
        QTest::newRow("nine characters")
            << QStringLiteral("http://198.18.0.11:50012/f/K7QXM2PDA")
            << QStringList{QStringLiteral("http://198.18.0.11:50012/f/K7QXM2PDA=K7QXM2PDA")};
        QTest::newRow("balanced parentheses stay")
            << QStringLiteral("http://example.com/wiki/A_(b))")
            << QStringList{QStringLiteral("http://example.com/wiki/A_(b)=")};
        QTest::newRow("after the code")
            << (shareLink + QStringLiteral("/x ") + shareLink + QStringLiteral("?a=1"))
            << QStringList{shareLink + QStringLiteral("/x="), shareLink + QStringLiteral("?a=1=")};
        QTest::newRow("userinfo, https, no port")
            << QStringLiteral(
                   "http://u@198.18.0.11:50012/f/K7QXM2PDA9 https://198.18.0.11:50012/f/K7QXM2PDA9 "
                   "http://198.18.0.11/f/K7QXM2PDA9")
            << QStringList{QStringLiteral("http://u@198.18.0.11:50012/f/K7QXM2PDA9="),
                           QStringLiteral("https://198.18.0.11:50012/f/K7QXM2PDA9="),
                           QStringLiteral("http://198.18.0.11/f/K7QXM2PDA9=")};
        QTest::newRow("not an IPv4 address or code")
            << QStringLiteral("http://198.18.0.256:50012/f/K7QXM2PDA9 http://198.18.0.11:50012/f/K7QXM2PDO9")
            << QStringList{QStringLiteral("http://198.18.0.256:50012/f/K7QXM2PDA9="),
                           QStringLiteral("http://198.18.0.11:50012/f/K7QXM2PDO9=")};
        QTest::newRow("no host, inside a word")
            << QStringLiteral("http:// xhttp://a.example http://") << QStringList{};
    }
    void find()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, found);
        QCOMPARE(linkTexts(text, ShareLinks::find(text)), found);
    }

    void sharedName_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("name");
        QTest::newRow("as logged, after the sender")
            << (QStringLiteral("host2>[ファイル] a (1).txt (10 B) ") + shareLink +
                QStringLiteral(" （1時間有効）"))
            << QStringLiteral("a (1).txt");
        QTest::newRow("typed link, no share line") << (QStringLiteral("見て ") + shareLink) << QString();
        QTest::newRow("no size before the link")
            << (QStringLiteral("[ファイル] a.txt ") + shareLink) << QString();
        QTest::newRow("second link of a line")
            << (QStringLiteral("[ファイル] a.txt (1 B) ") + shareLink + QLatin1Char(' ') + shareLink)
            << QString();
    }
    void sharedName()
    {
        QFETCH(QString, text);
        QFETCH(QString, name);
        const auto links = ShareLinks::find(text);
        QVERIFY(!links.isEmpty());
        QCOMPARE(ShareLinks::sharedName(text, links.last()), name);
    }

    // Peer-controlled lines of 60,000 characters: at most 16 links, and a huge one is one shareLink.
    void findOnLongLines()
    {
        QString many;
        while (many.size() < 60000)
            many += shareLink + QLatin1Char(' ');
        QCOMPARE(ShareLinks::find(many).size(), ShareLinks::maxLinksPerLine);
        const QString huge = QStringLiteral("http://example.com/") + QString(60000 - 19, u'a');
        const auto links = ShareLinks::find(huge);
        QCOMPARE(links.size(), 1);
        QCOMPARE(links[0].length, huge.size());
        QVERIFY(ShareLinks::find(QString(60000, u'h') + QStringLiteral("ttp")).isEmpty());
    }

    void baseName_data()
    {
        QTest::addColumn<QString>("proposed");
        QTest::addColumn<QString>("name");
        QTest::newRow("parent path") << QStringLiteral("../x") << QStringLiteral("x");
        QTest::newRow("windows path") << QStringLiteral("C:\\a/b\\c.txt") << QStringLiteral("c.txt");
        QTest::newRow("only dots") << QStringLiteral("..") << QStringLiteral("ダウンロード");
        QTest::newRow("path ending in a slash") << QStringLiteral("a/") << QStringLiteral("ダウンロード");
        QTest::newRow("hidden, blanks") << QStringLiteral(" .bashrc. ") << QStringLiteral("bashrc");
        QTest::newRow("control characters")
            << QStringLiteral("a\tb\nc\u007Fd\u0085e") << QStringLiteral("a_b_c_d_e");
        QTest::newRow("direction override")
            << QStringLiteral("photo\u202Egpj.exe") << QStringLiteral("photo_gpj.exe");
        QTest::newRow("windows refuses")
            << QStringLiteral("a:b<c>\"d|e?f*") << QStringLiteral("a_b_c__d_e_f_");
        QTest::newRow("lone surrogate") << (QStringLiteral("a") + QChar(0xD800)) << QStringLiteral("a_");
        // Read back from UTF-8 a leading byte-order mark would vanish: the file would be another.
        QTest::newRow("byte-order mark, noncharacters")
            << QStringLiteral("\uFEFFa\uFFFF\uFDD0b") << QStringLiteral("_a__b");
        QTest::newRow("device") << QStringLiteral("CON") << QStringLiteral("_CON");
        QTest::newRow("device, extension, case")
            << QStringLiteral("com1 .tar.gz") << QStringLiteral("_com1 .tar.gz");
        QTest::newRow("device left by the cut")
            << (QStringLiteral("CON") + QString(300, u' ') + QStringLiteral("x")) << QStringLiteral("_CON");
        QTest::newRow("not a device") << QStringLiteral("CONSOLE.txt") << QStringLiteral("CONSOLE.txt");
        // 3 bytes a character: cut at a character, the extension kept.
        QTest::newRow("300 bytes") << (QString(100, u'あ') + QStringLiteral(".pdf"))
                                   << (QString(82, u'あ') + QStringLiteral(".pdf"));
        QTest::newRow("long extension is cut too")
            << (QStringLiteral("a.") + QString(300, u'b')) << (QStringLiteral("a.") + QString(248, u'b'));
        QTest::newRow("cut before a surrogate pair")
            << (QString(247, u'x') + QStringLiteral("😀")) << QString(247, u'x');
    }
    void baseName()
    {
        QFETCH(QString, proposed);
        QFETCH(QString, name);
        const QString safe = SafeFileName::baseName(proposed);
        QCOMPARE(safe, name);
        QVERIFY(safe.toUtf8().size() <= SafeFileName::maxBytes);
        QVERIFY(QFileInfo(SafeFileName::partPath(safe)).fileName().toUtf8().size() <= 255);
        // A caller with another source for the name learns that nothing was left.
        const QString other = SafeFileName::baseName(proposed, QString());
        QCOMPARE(other, name == QStringLiteral("ダウンロード") ? QString() : name);
    }

    void uniquePath()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QDir dir(folder.path());
        const auto touch = [&](const QString &name) {
            QVERIFY(QFile(dir.filePath(name)).open(QIODevice::WriteOnly));
        };
        QCOMPARE(SafeFileName::uniquePath(dir.path(), QStringLiteral("a.txt")),
                 dir.filePath(QStringLiteral("a.txt")));
        touch(QStringLiteral("a.txt"));
        touch(QStringLiteral("a (1).txt"));
        QCOMPARE(SafeFileName::uniquePath(dir.path(), QStringLiteral("a.txt")),
                 dir.filePath(QStringLiteral("a (2).txt")));
        // A dangling shareLink is an entry: renaming onto it would replace it.
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("gone")), dir.filePath(QStringLiteral("notes"))));
        QCOMPARE(SafeFileName::uniquePath(dir.path(), QStringLiteral("notes")),
                 dir.filePath(QStringLiteral("notes (1)")));
        // A name another download is writing into is taken although nothing is on the disk yet.
        const auto writing = [&](const QString &path) {
            return path == dir.filePath(QStringLiteral("b.txt")) ||
                   path == dir.filePath(QStringLiteral("b (1).txt"));
        };
        QCOMPARE(SafeFileName::uniquePath(dir.path(), QStringLiteral("b.txt"), writing),
                 dir.filePath(QStringLiteral("b (2).txt")));
        const QString longName = QString(SafeFileName::maxBytes - 4, u'n') + QStringLiteral(".txt");
        touch(longName);
        const QString numbered = QFileInfo(SafeFileName::uniquePath(dir.path(), longName)).fileName();
        QCOMPARE(numbered, QString(SafeFileName::maxBytes - 8, u'n') + QStringLiteral(" (1).txt"));
    }
};

QTEST_APPLESS_MAIN(TestShareText)
#include "tst_sharetext.moc"
