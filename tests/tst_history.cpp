#include "history/history.h"
#include "history/historyexport.h"
#include "history/historylocation.h"
#include "history/historystore.h"
#include "historylines.h"
#include "manualscheduler.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList texts(const HistoryLines &lines)
{
    QStringList result;
    for (const HistoryLine &line : lines)
        result.append(line.text);
    return result;
}

int modeOf(const QString &path)
{
    struct stat status
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 0777) : -1;
}

// Root writes into any folder: the check runs as nobody in a child process then.
HistoryProblem openProblem(const QString &path)
{
    if (::geteuid() != 0) {
        HistoryStore store;
        return store.open(path).problem;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(100);
        HistoryStore store;
        ::_exit(int(store.open(path).problem));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return HistoryProblem(WEXITSTATUS(status));
}

// The modes of the files in folder that this process has open. An unnamed temporary file
// (O_TMPFILE) shows as "folder/#inode (deleted)".
QList<int> modesOfOpenFilesIn(const QString &folder)
{
    QList<int> modes;
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const QByteArray link = QFile::encodeName(descriptors.filePath(fd));
        char target[4096] = {};
        if (::readlink(link.constData(), target, sizeof target - 1) > 0 &&
            QFile::decodeName(target).startsWith(folder + u'/'))
            modes.append(modeOf(QFile::decodeName(link)));
    }
    return modes;
}

} // namespace

class TestHistory : public QObject
{
    Q_OBJECT

private slots:
    // Every kind comes back with every field, and the file is the user's alone.
    void keepsKindsAndFields()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("zumzum-chat/history.sqlite"));
        QCOMPARE(HistoryLocation::prepareFolder(path, dir.path()), QString());
        QCOMPARE(modeOf(dir.filePath(QStringLiteral("zumzum-chat"))), 0700);
        HistoryStore store;
        QCOMPARE(store.open(path).problem, HistoryProblem::None);
        QCOMPARE(modeOf(path), 0600);

        HistoryLines lines;
        for (int kind = 0; kind <= int(HistoryLine::Kind::SentToSelected); ++kind) {
            HistoryLine line = chatLine(QStringLiteral("名前%1").arg(kind),
                                        QStringLiteral("本文\t%1 <b>x</b>").arg(kind), 1767225600000 + kind);
            line.kind = HistoryLine::Kind(kind);
            line.selectedOnly = kind == int(HistoryLine::Kind::SentToSelected);
            line.recipients =
                line.selectedOnly ? QStringLiteral("甲 (198.18.0.3), 乙 (198.18.0.4)") : QString();
            line.port = quint16(1000 + kind);
            line.utcOffset = -5 * 3600;
            lines.append(line);
        }
        QVERIFY(store.insert(lines));
        HistoryLines back = store.newest(100);
        std::reverse(back.begin(), back.end());
        QCOMPARE(back.size(), lines.size());
        for (int i = 0; i < lines.size(); ++i) {
            QVERIFY(back[i].id > 0);
            lines[i].id = back[i].id;
            QCOMPARE(back[i], lines[i]);
        }
        QCOMPARE(store.around(back[2].id, 1).size(), 3);
        QCOMPARE(store.around(back[2].id, 1).at(1).id, back[2].id);
    }

    // Lines of a portable copy travel with it; otherwise they go to the user's data folder.
    void location()
    {
        QCOMPARE(HistoryLocation::path(QStringLiteral("/opt/zz/set.txt"), QStringLiteral("/opt/zz/"),
                                       QStringLiteral("/home/u/.local/share")),
                 QStringLiteral("/opt/zz/history.sqlite"));
        QCOMPARE(HistoryLocation::path(QStringLiteral("/home/u/.config/zumzum-chat/set.txt"),
                                       QStringLiteral("/opt/zz/"), QStringLiteral("/home/u/.local/share")),
                 QStringLiteral("/home/u/.local/share/zumzum-chat/history.sqlite"));
    }

    // The program's own folder from an earlier version, or made by hand with the default mode, is
    // tightened. A portable copy's program folder (even one named alike), and a folder of another
    // user, are left as they are.
    void ownFolderIsTightened()
    {
        const mode_t previous = ::umask(022);
        const auto restore = qScopeGuard([previous] { ::umask(previous); });
        QTemporaryDir dir;
        const QString dataHome = dir.filePath(QStringLiteral("data"));
        const QString own = dataHome + QStringLiteral("/zumzum-chat");
        const QString portable = dir.filePath(QStringLiteral("opt/zumzum-chat"));
        for (const QString &folder : {own, portable}) {
            QVERIFY(QDir().mkpath(folder));
            QCOMPARE(modeOf(folder), 0755);
            QCOMPARE(HistoryLocation::prepareFolder(folder + QStringLiteral("/history.sqlite"), dataHome),
                     QString());
        }
        QCOMPARE(modeOf(own), 0700);
        QCOMPARE(modeOf(portable), 0755);
        QCOMPARE(modeOf(dataHome), 0755); // the data home is the system's

        if (::geteuid() != 0)
            QSKIP("a folder of another user needs root to make");
        QVERIFY(::chmod(QFile::encodeName(own).constData(), 0755) == 0);
        QVERIFY(::chown(QFile::encodeName(own).constData(), 65534, 65534) == 0);
        QCOMPARE(HistoryLocation::prepareFolder(own + QStringLiteral("/history.sqlite"), dataHome),
                 QString());
        QCOMPARE(modeOf(own), 0755);
    }

    void search_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("found"); // newest first
        QTest::newRow("two Japanese characters")
            << QStringLiteral("三時")
            << QStringList{QStringLiteral("三時は無理"), QStringLiteral("明日の会議は三時からです")};
        QTest::newRow("one character")
            << QStringLiteral("議") << QStringList{QStringLiteral("明日の会議は三時からです")};
        QTest::newRow("three and more")
            << QStringLiteral("会議は三時") << QStringList{QStringLiteral("明日の会議は三時からです")};
        QTest::newRow("Latin case, indexed")
            << QStringLiteral("SERVER")
            << QStringList{QStringLiteral("the server is down"), QStringLiteral("Server OK")};
        QTest::newRow("Latin case, short")
            << QStringLiteral("Ok") << QStringList{QStringLiteral("Server OK")};
        QTest::newRow("wildcards are literal")
            << QStringLiteral("%") << QStringList{QStringLiteral("100% done")};
        QTest::newRow("quotes are literal")
            << QStringLiteral("\"AND\" OR") << QStringList{QStringLiteral("say \"AND\" OR not")};
        QTest::newRow("the sender's name")
            << QStringLiteral("佐藤") << QStringList{QStringLiteral("三時は無理")};
        QTest::newRow("nothing") << QStringLiteral("鯨") << QStringList{};
        // Short searches fold case beyond ASCII as the trigram index does for longer ones.
        QTest::newRow("full-width, two") << QStringLiteral("ａｂ") << QStringList{QStringLiteral("ＡＢＣＤ")};
        QTest::newRow("Greek, two") << QStringLiteral("αβ") << QStringList{QStringLiteral("ΑΒΓ δ")};
        QTest::newRow("Cyrillic, two") << QStringLiteral("пр") << QStringList{QStringLiteral("Привет")};
        QTest::newRow("accented, one") << QStringLiteral("é") << QStringList{QStringLiteral("Éclair")};
        QTest::newRow("accented, two") << QStringLiteral("éc") << QStringList{QStringLiteral("Éclair")};
        QTest::newRow("before a blank") << QStringLiteral("δ") << QStringList{QStringLiteral("ΑΒΓ δ")};
    }

    void search()
    {
        QFETCH(QString, query);
        QFETCH(QStringList, found);
        QTemporaryDir dir;
        HistoryStore store;
        QCOMPARE(store.open(dir.filePath(QStringLiteral("h.sqlite"))).problem, HistoryProblem::None);
        QVERIFY(store.insert({chatLine(QStringLiteral("田中"), QStringLiteral("明日の会議は三時からです")),
                              chatLine(QStringLiteral("Bob"), QStringLiteral("Server OK")),
                              chatLine(QStringLiteral("Bob"), QStringLiteral("100% done")),
                              chatLine(QStringLiteral("Bob"), QStringLiteral("say \"AND\" OR not")),
                              chatLine(QStringLiteral("Ann"), QStringLiteral("the server is down")),
                              chatLine(QStringLiteral("佐藤"), QStringLiteral("三時は無理"))}));
        QVERIFY(store.insert({chatLine(QStringLiteral("x"), QStringLiteral("ＡＢＣＤ")),
                              chatLine(QStringLiteral("x"), QStringLiteral("ΑΒΓ δ")),
                              chatLine(QStringLiteral("x"), QStringLiteral("Привет")),
                              chatLine(QStringLiteral("x"), QStringLiteral("Éclair"))}));
        QStringList newestFirst = texts(store.search(query, 200));
        QCOMPARE(newestFirst, found);
    }

    // Results come a page at a time; a cancelled search gives nothing rather than a part.
    void searchPagesAndCancels()
    {
        QTemporaryDir dir;
        HistoryStore store;
        QCOMPARE(store.open(dir.filePath(QStringLiteral("h.sqlite"))).problem, HistoryProblem::None);
        HistoryLines lines{chatLine(QStringLiteral("a"), QStringLiteral("鯨の会議は遠い"))};
        for (int i = 0; i < 500; ++i)
            lines.append(chatLine(QStringLiteral("a"), QStringLiteral("会議 %1").arg(i)));
        QVERIFY(store.insert(lines));
        for (const QString &query : {QStringLiteral("会議"), QStringLiteral("会議 4")}) {
            const HistoryLines first = store.search(query, 10);
            QCOMPARE(first.size(), 10);
            const HistoryLines next = store.search(query, 10, first.last().id);
            QCOMPARE(next.size(), 10);
            QVERIFY(next.first().id < first.last().id);
        }
        // The oldest line is found only after a scan of all the others, which the next keystroke
        // stops half-way.
        for (const QString &query : {QStringLiteral("鯨"), QStringLiteral("鯨の会議")}) {
            QCOMPARE(store.search(query, 10).size(), 1);
            int polls = 0;
            QVERIFY(store.search(query, 10, 0, [&polls] { return ++polls > 1; }).isEmpty());
            QVERIFY(polls > 1);
        }
    }

    // A rare character is looked for in the newest 10,000 lines themselves and in the pair index
    // below them: both find exactly its lines, newest first, on either side of that edge, in the
    // sender's name, up to the 4,000th character of a long text and not after it, and with the case
    // of other scripts folded. Once newer lines push them all below the edge, the index alone finds
    // the same.
    void aRareCharacterIsFoundOnBothSidesOfTheEdge()
    {
        QTemporaryDir dir;
        HistoryStore store;
        QCOMPARE(store.open(dir.filePath(QStringLiteral("h.sqlite"))).problem, HistoryProblem::None);
        const QString before3999 = QString(3999, u'あ');
        // Ids 1..12,000: the newest 10,000 lines are ids 2,002 and above.
        const QMap<int, HistoryLine> rare = {
            {500, chatLine(QStringLiteral("a"), QStringLiteral("鶴は千年 Kelvin"))},
            {2001, chatLine(QStringLiteral("a"), QStringLiteral("折り鶴 ok"))},
            {2002, chatLine(QStringLiteral("a"), QStringLiteral("鶴 300\u212a"))}, // a Kelvin sign
            {7000, chatLine(QStringLiteral("a"), before3999 + QStringLiteral("鶴"))},
            {7001, chatLine(QStringLiteral("a"), before3999 + QStringLiteral("あ鶴k"))},
            {7002, chatLine(QStringLiteral("a"), before3999 + QStringLiteral("\u212a"))},
            {9000, chatLine(QStringLiteral("鶴田"), QStringLiteral("こんにちは"))},
            {11999, chatLine(QStringLiteral("a"), QStringLiteral("ＫＥＹ 鶴"))},
        };
        const auto fill = [&](int from, int to) {
            for (int id = from; id <= to; id += 1000) {
                HistoryLines lines;
                for (int i = id; i < id + 1000; ++i)
                    lines.append(
                        rare.value(i, chatLine(QStringLiteral("a"), QStringLiteral("行 %1").arg(i))));
                if (!store.insert(lines))
                    return false;
            }
            return true;
        };
        QVERIFY(fill(1, 12000));
        QCOMPARE(store.unindexed(), 0);
        const auto ids = [&store](const QString &query, int limit, qint64 beforeId = 0) {
            QList<qint64> found;
            for (const HistoryLine &line : store.search(query, limit, beforeId))
                found.append(line.id);
            return found;
        };
        const QList<qint64> crane{11999, 9000, 7000, 2002, 2001, 500};
        const QList<qint64> k{7002, 2002, 2001, 500}; // not the full-width Ｋ
        for (int round = 0; round < 2; ++round) {
            QCOMPARE(ids(QStringLiteral("鶴"), 200), crane);
            QCOMPARE(ids(QStringLiteral("k"), 200), k);
            QCOMPARE(ids(QStringLiteral("Ｋ"), 200), QList<qint64>{11999});
            // A page at a time, across the edge.
            QCOMPARE(ids(QStringLiteral("鶴"), 3), crane.mid(0, 3));
            QCOMPARE(ids(QStringLiteral("鶴"), 2, 7000), crane.mid(3, 2));
            QCOMPARE(ids(QStringLiteral("鶴"), 200, 2002), crane.mid(4));
            // Ten thousand newer lines push them all below the edge.
            QVERIFY(fill(12001, 22000));
        }
        // A damaged text (stray lead bytes, each folded as U+FFFD) is looked at without harm.
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(dir.filePath(QStringLiteral("h.sqlite"))).constData(), &db),
                 SQLITE_OK);
        const QByteArray damaged = "x'" + QByteArray("E3").repeated(3000) + "4B'"; // then a K
        QCOMPARE(sqlite3_exec(db,
                              "INSERT INTO line(time, utc_offset, kind, port, selected, name, address, text, "
                              "recipients) VALUES (0, 0, 0, 1000, 0, 'a', '198.18.0.2', CAST(" +
                                  damaged + " AS TEXT), '')",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
        sqlite3_close(db);
        QCOMPARE(ids(QStringLiteral("k"), 200), QList<qint64>{32001} + k);
    }

    // The keep period counts back from the newest line stored when the clock is ahead, and lines
    // dated in the future neither go nor stop the pruning.
    void prunesByAge()
    {
        QTemporaryDir dir;
        HistoryStore store;
        QCOMPARE(store.open(dir.filePath(QStringLiteral("h.sqlite"))).problem, HistoryProblem::None);
        const QDateTime now = QDateTime::currentDateTime();
        const qint64 day = 86400000;
        HistoryLines lines;
        for (int i = 0; i < 2500; ++i) // a clock that was ahead for a while, long ago
            lines.append(chatLine(QStringLiteral("a"), QStringLiteral("先の行 %1").arg(i),
                                  now.toMSecsSinceEpoch() + 900 * day));
        for (int i = 0; i < 3000; ++i)
            lines.append(chatLine(QStringLiteral("a"), QStringLiteral("古い行 %1").arg(i),
                                  now.toMSecsSinceEpoch() - 400 * day));
        for (int i = 0; i < 3000; ++i)
            lines.append(chatLine(QStringLiteral("a"), QStringLiteral("新しい行 %1").arg(i),
                                  now.toMSecsSinceEpoch() - 10 * day));
        QVERIFY(store.insert(lines));

        // Set three years ahead: only what is older than a year before the newest line goes.
        QCOMPARE(store.pruneByAge(12, now.addYears(3)), 3000);
        QCOMPARE(store.count(), 5500);
        QVERIFY(store.search(QStringLiteral("古い行"), 10).isEmpty());
        QCOMPARE(store.search(QStringLiteral("新しい行"), 10).size(), 10);
        QCOMPARE(store.search(QStringLiteral("先の行"), 10).size(), 10);
        QCOMPARE(store.pruneByAge(1, now), 0);
        QCOMPARE(store.pruneByAge(0, now.addYears(50)), 0); // always: nothing
    }

    // Over the budget, about the excess goes, not several times it, and the file's size is then
    // below the budget.
    void prunesOnlyTheExcess()
    {
        QTemporaryDir dir;
        HistoryStore store;
        QCOMPARE(store.open(dir.filePath(QStringLiteral("h.sqlite"))).problem, HistoryProblem::None);
        for (int batch = 0; batch < 20; ++batch) {
            HistoryLines lines;
            for (int i = 0; i < 1000; ++i) {
                HistoryLine line = chatLine(QStringLiteral("社員%1").arg(i % 7),
                                            QStringLiteral("明日の会議は%1時から、資料 %2 を確認してください")
                                                .arg(i % 12)
                                                .arg(batch * 1000 + i));
                line.address = QStringLiteral("198.18.0.%1").arg(i % 7 + 1);
                lines.append(line);
            }
            QVERIFY(store.insert(lines));
        }
        const qint64 count = store.count();
        const qint64 used = store.usedBytes();
        const qint64 budget = used * 10 / 11; // 10 % over
        int betweens = 0;
        const HistoryStore::BudgetResult result = store.pruneToBudget(budget, [&betweens] { ++betweens; });
        QVERIFY(result.ok);
        QCOMPARE(result.usedBefore, used);
        const double share = double(result.removed) / double(count);
        const double excess = double(used - budget + budget / 100) / double(used);
        QVERIFY2(share > excess * 0.8 && share < excess * 1.25,
                 qPrintable(QStringLiteral("removed %1 of %2 lines for an excess of %3 %")
                                .arg(result.removed)
                                .arg(count)
                                .arg(excess * 100)));
        QVERIFY2(result.usedAfter <= budget,
                 qPrintable(QStringLiteral("%1 bytes after, budget %2").arg(result.usedAfter).arg(budget)));
        QCOMPARE(store.usedBytes(), result.usedAfter);
        QVERIFY(betweens > 0); // the lock is let go between the pieces
        // Within the budget: nothing goes.
        QCOMPARE(store.pruneToBudget(budget).removed, 0);
    }

    // A burst is stored at once and indexed afterwards, a piece at a time; what is not indexed yet
    // is found all the same, and can be removed.
    void aBurstIsIndexedAfterwards()
    {
        QTemporaryDir dir;
        HistoryStore store;
        QCOMPARE(store.open(dir.filePath(QStringLiteral("h.sqlite"))).problem, HistoryProblem::None);
        QVERIFY(store.insert({chatLine(QStringLiteral("a"), QStringLiteral("前の会議"))}));
        QCOMPARE(store.unindexed(), 0);
        HistoryLines burst;
        const qint64 old = QDateTime::currentMSecsSinceEpoch() - 400LL * 86400000;
        for (int i = 0; i < 5000; ++i)
            burst.append(chatLine(QStringLiteral("b"), QStringLiteral("洪水の会議 %1 Ｘ").arg(i), old + i));
        burst.append(
            chatLine(QStringLiteral("b"), QStringLiteral("最後"), QDateTime::currentMSecsSinceEpoch()));
        QVERIFY(store.insert(burst));
        QCOMPARE(store.unindexed(), 5001);
        const auto found = [&store](const QString &query) { return store.search(query, 10000).size(); };
        for (const QString &query : {QStringLiteral("会議"), QStringLiteral("議"), QStringLiteral("ｘ"),
                                     QStringLiteral("の会議 49")}) {
            const qsizetype before = found(query);
            QVERIFY2(before >= 11, qPrintable(query));
            QVERIFY(store.indexStep(1500) > 0);
            QCOMPARE(found(query), before);
        }
        while (store.unindexed() > 0)
            QVERIFY(store.indexStep(2000) > 0);
        QCOMPARE(found(QStringLiteral("会議")), 5001);
        QCOMPARE(found(QStringLiteral("会議 4999")), 1);

        // Removing lines some of which are indexed and some not keeps both indexes right.
        QVERIFY(store.insert(burst));
        QVERIFY(store.indexStep(2500) > 0);
        QCOMPARE(store.pruneByAge(1, QDateTime::currentDateTime()), 10001); // and the line before
        QCOMPARE(found(QStringLiteral("会議")), 0);
        QCOMPARE(found(QStringLiteral("最後")), 2);
        while (store.unindexed() > 0)
            QVERIFY(store.indexStep(2000) > 0);
        QCOMPARE(found(QStringLiteral("洪水")), 0);
        QCOMPARE(found(QStringLiteral("最後")), 2);
    }

    // A peer that floods long lines loses its own oldest lines; the others keep every line. Only
    // the first characters of a text are indexed, all of it is kept.
    void oneSenderCannotEvictTheOthers()
    {
        QTemporaryDir dir;
        HistoryStore store;
        QCOMPARE(store.open(dir.filePath(QStringLiteral("h.sqlite"))).problem, HistoryProblem::None);
        HistoryLines everyday;
        for (int i = 0; i < 3000; ++i) {
            HistoryLine line =
                chatLine(QStringLiteral("同僚%1").arg(i % 5), QStringLiteral("普段の話 %1").arg(i));
            line.address = QStringLiteral("198.18.0.%1").arg(i % 5 + 10);
            everyday.append(line);
        }
        QVERIFY(store.insert(everyday));
        const QString tail = QStringLiteral("末尾だけの言葉");
        for (int i = 0; i < 60; ++i) {
            HistoryLine flood =
                chatLine(QStringLiteral("flood"),
                         QStringLiteral("洪水%1").arg(i, 4, 10, QChar(u'0')) + QString(20000, u'波') + tail);
            flood.address = QStringLiteral("198.18.0.99");
            QVERIFY(store.insert({flood}));
        }
        const qint64 budget = store.usedBytes() * 3 / 4;
        const HistoryStore::BudgetResult result = store.pruneToBudget(budget);
        QVERIFY(result.ok);
        QVERIFY(result.usedAfter <= budget);
        QVERIFY(result.removed > 0);
        QCOMPARE(store.search(QStringLiteral("普段の話"), 5000).size(), 3000);
        const HistoryLines left = store.search(QStringLiteral("洪水"), 100);
        QVERIFY(!left.isEmpty() && left.size() < 60);
        QCOMPARE(left.first().text.right(tail.size()), tail);           // the newest flood line, whole
        QVERIFY(store.search(QStringLiteral("洪水0000"), 5).isEmpty()); // the oldest went first
        QVERIFY(store.search(tail, 5).isEmpty());                       // beyond the indexed prefix
    }

    void exports()
    {
        HistoryLine line = chatLine(QStringLiteral("Bob \"B\""), QStringLiteral("a\tb\nc, d"));
        QCOMPARE(HistoryExport::textRow(line), QStringLiteral("2026-01-01 09:00:00\tBob \"B\"\ta b c, d"));
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(HistoryExport::write(buffer, HistoryExport::Format::Csv,
                                     [&](const auto &visit) { return visit(line); }));
        QCOMPARE(QString::fromUtf8(buffer.data()).split(QStringLiteral("\r\n")).at(1),
                 QStringLiteral("\"2026-01-01 09:00:00\",\"32400\",\"chat\",\"1000\",\"0\",\"Bob \"\"B\"\"\","
                                "\"198.18.0.2\",\"a\tb\nc, d\",\"\""));

        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("out.txt"));
        QCOMPARE(HistoryExport::writeFile(target, HistoryExport::Format::Text,
                                          [&](const auto &visit) { return visit(line) && visit(line); }),
                 QString());
        QCOMPARE(bytesOf(target).count('\n'), 2);
        // A failing source leaves the previous file as it was.
        QVERIFY(!HistoryExport::writeFile(target, HistoryExport::Format::Text, [](const auto &) {
                     return false;
                 }).isEmpty());
        QCOMPARE(bytesOf(target).count('\n'), 2);
    }

    // The export holds the history's text: the user's alone from its first byte, as the history is,
    // whatever the umask, also when it replaces a file others could read.
    void exportIsTheUsersAlone()
    {
        const mode_t previous = ::umask(022);
        const auto restore = qScopeGuard([previous] { ::umask(previous); });
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("out.csv"));
        const HistoryLine line = chatLine(QStringLiteral("a"), QStringLiteral("秘密"));
        for (int round = 0; round < 2; ++round) {
            QList<int> whileWriting;
            QCOMPARE(HistoryExport::writeFile(target, HistoryExport::Format::Csv,
                                              [&](const auto &visit) {
                                                  whileWriting = modesOfOpenFilesIn(dir.path());
                                                  return visit(line);
                                              }),
                     QString());
            QCOMPARE(whileWriting, QList<int>{0600}); // the temporary file
            QCOMPARE(modeOf(target), 0600);
            QVERIFY(bytesOf(target).contains("秘密"));
            QVERIFY(::chmod(QFile::encodeName(target).constData(), 0644) == 0);
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("out.csv")});
    }

    // A spreadsheet program runs a cell that starts with = + - @ TAB or CR as a formula: every cell
    // with text from people starts with a quote then. Other cells and the text export stay as they are.
    void csvCellsAreNoFormulas_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("cell");
        QTest::newRow("equals") << QStringLiteral("=HYPERLINK(\"http://x\")")
                                << QStringLiteral("'=HYPERLINK(\"http://x\")");
        QTest::newRow("plus") << QStringLiteral("+1+cmd") << QStringLiteral("'+1+cmd");
        QTest::newRow("minus") << QStringLiteral("-2+3") << QStringLiteral("'-2+3");
        QTest::newRow("at") << QStringLiteral("@SUM(A1)") << QStringLiteral("'@SUM(A1)");
        QTest::newRow("tab") << QStringLiteral("\t=1") << QStringLiteral("'\t=1");
        QTest::newRow("carriage return") << QStringLiteral("\r=1") << QStringLiteral("'\r=1");
        QTest::newRow("plain") << QStringLiteral("会議は3時=15時") << QStringLiteral("会議は3時=15時");
        QTest::newRow("quote first") << QStringLiteral("'=1") << QStringLiteral("'=1");
        QTest::newRow("empty") << QString() << QString();
    }

    void csvCellsAreNoFormulas()
    {
        QFETCH(QString, field);
        QFETCH(QString, cell);
        HistoryLine line = chatLine(field, field);
        line.address = field;
        line.recipients = field;
        line.kind = HistoryLine::Kind::SentToSelected;
        const QString quoted = u'"' + QString(cell).replace(u'"', QStringLiteral("\"\"")) + u'"';
        QCOMPARE(HistoryExport::csvRow(line),
                 QStringLiteral("\"2026-01-01 09:00:00\",\"32400\",\"sent-to-selected\",\"1000\",\"0\",") +
                     QStringList(4, quoted).join(u',') + QStringLiteral("\r\n"));
        QCOMPARE(HistoryExport::textRow(line).section(u'\t', 1, 1),
                 QString(field).replace(u'\t', u' ').replace(u'\r', u' '));
    }

    // After clearing, the words are nowhere in the file, its journal or a copy set aside; the
    // settings stay. A reader that holds the journal keeps the clear from being complete, and it
    // is said so, until the reader lets go.
    void clearLeavesNoText()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("h.sqlite"));
        HistoryStore store(HistoryStore::Options{300});
        QCOMPARE(store.open(path).problem, HistoryProblem::None);
        QVERIFY(store.setSettings({false, 1}));
        HistoryLines lines;
        for (int i = 0; i < 200; ++i)
            lines.append(chatLine(QStringLiteral("Zebra"), QStringLiteral("Secret-password-%1").arg(i)));
        QVERIFY(store.insert(lines));
        const QString aside = path + QStringLiteral(".broken-20250101-120000");
        for (const QString &copy : {aside, aside + QStringLiteral("-wal")}) {
            QFile file(copy);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("Secret-password in a damaged copy");
        }
        const auto everywhere = [&] { return bytesOf(path) + bytesOf(path + QStringLiteral("-wal")); };
        QVERIFY(everywhere().contains("Secret-password"));

        // Another connection in the middle of a read, as a search of the other instance or sqlite3.
        sqlite3 *reader = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &reader), SQLITE_OK);
        QCOMPARE(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM line;", nullptr, nullptr, nullptr),
                 SQLITE_OK);
        QCOMPARE(store.clear(), HistoryStore::ClearResult::Pending);
        QCOMPARE(store.count(), 0);
        QVERIFY(!QFile::exists(aside));
        QVERIFY(!QFile::exists(aside + QStringLiteral("-wal")));
        QVERIFY(!store.finishClear());
        sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(reader);
        QVERIFY(store.finishClear());
        QVERIFY(!everywhere().contains("Secret-password"));
        QVERIFY(!everywhere().contains("Zebra"));
        QCOMPARE(store.settings(), (HistorySettings{false, 1}));

        // Without a reader it ends at once; the history works as before.
        QVERIFY(store.insert({chatLine(QStringLiteral("a"), QStringLiteral("after")),
                              chatLine(QStringLiteral("a"), QStringLiteral("会議"))}));
        QCOMPARE(store.clear(), HistoryStore::ClearResult::Done);
        QVERIFY(!everywhere().contains("after"));
        QVERIFY(store.insert({chatLine(QStringLiteral("a"), QStringLiteral("after"))}));
        QCOMPARE(texts(store.search(QStringLiteral("after"), 5)), QStringList{QStringLiteral("after")});
        QCOMPARE(texts(store.search(QStringLiteral("af"), 5)), QStringList{QStringLiteral("after")});
    }

    // What is pruned is overwritten, also after a clear; a new file returns its free pages.
    void deletedTextIsOverwritten()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("h.sqlite"));
        HistoryStore store;
        QCOMPARE(store.open(path).problem, HistoryProblem::None);
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        const auto pragma = [db](const char *sql) {
            sqlite3_stmt *statement = nullptr;
            sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
            const int value = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int(statement, 0) : -1;
            sqlite3_finalize(statement);
            return value;
        };
        QCOMPARE(pragma("PRAGMA auto_vacuum"), 2); // incremental

        QCOMPARE(store.clear(), HistoryStore::ClearResult::Done);
        const qint64 old = QDateTime::currentMSecsSinceEpoch() - 400LL * 86400000;
        HistoryLines lines;
        for (int i = 0; i < 300; ++i)
            lines.append(chatLine(QStringLiteral("a"), QStringLiteral("Pruned-words-%1 here").arg(i), old));
        lines.append(
            chatLine(QStringLiteral("a"), QStringLiteral("kept"), QDateTime::currentMSecsSinceEpoch()));
        QVERIFY(store.insert(lines));
        QCOMPARE(pragma("PRAGMA wal_checkpoint(TRUNCATE)"), 0);
        QVERIFY(bytesOf(path).contains("Pruned-words-"));
        QCOMPARE(store.pruneByAge(12, QDateTime::currentDateTime()), 300);
        QCOMPARE(pragma("PRAGMA wal_checkpoint(TRUNCATE)"), 0);
        QVERIFY2(!bytesOf(path).contains("Pruned-words-"), "a pruned line is readable in the file");
        sqlite3_close(db);
    }

    // A file of the first version is opened at once and brought up to date in the background:
    // its lines are found by short and long searches before, during and after.
    void migratesAnOlderFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("h.sqlite"));
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        QCOMPARE(sqlite3_exec(db, R"(
PRAGMA journal_mode=WAL;
CREATE TABLE line(id INTEGER PRIMARY KEY, time INTEGER NOT NULL, utc_offset INTEGER NOT NULL,
    kind INTEGER NOT NULL, port INTEGER NOT NULL, selected INTEGER NOT NULL, name TEXT NOT NULL,
    address TEXT NOT NULL, text TEXT NOT NULL, recipients TEXT NOT NULL);
CREATE VIRTUAL TABLE line_text USING fts5(name, text, content='line', content_rowid='id',
    tokenize='trigram case_sensitive 0');
CREATE TRIGGER line_added AFTER INSERT ON line BEGIN
    INSERT INTO line_text(rowid, name, text) VALUES (new.id, new.name, new.text);
END;
CREATE TRIGGER line_removed AFTER DELETE ON line BEGIN
    INSERT INTO line_text(line_text, rowid, name, text) VALUES ('delete', old.id, old.name, old.text);
END;
CREATE TABLE setting(key TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
INSERT INTO setting VALUES ('saving', 1), ('keep_months', 0);
PRAGMA user_version=1;
)",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
        QCOMPARE(sqlite3_exec(
                     db,
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000) "
                     "INSERT INTO line(time, utc_offset, kind, port, selected, name, address, text, "
                     "recipients) SELECT 1767225600000 + i, 32400, 0, 1000, 0, 'Bob', '198.18.0.2', "
                     "'会議 ' || i || CASE WHEN i = 7 THEN ' ' || replace(hex(zeroblob(2500)), '00', 'ab') "
                     "|| ' Tail' ELSE '' END, '' FROM n",
                     nullptr, nullptr, nullptr),
                 SQLITE_OK);
        sqlite3_close(db);

        HistoryStore store;
        QCOMPARE(store.open(path).problem, HistoryProblem::None);
        QVERIFY(store.hasBackgroundWork());
        const auto found = [&store](const QString &query) { return store.search(query, 10000).size(); };
        QCOMPARE(found(QStringLiteral("会議")), 5000);
        QCOMPARE(found(QStringLiteral("会議 7 ab")), 1);
        QVERIFY(store.insert({chatLine(QStringLiteral("Ann"), QStringLiteral("会議 new"),
                                       QDateTime::currentMSecsSinceEpoch())}));
        QVERIFY(store.backgroundStep()); // part of the lines is in the pair index now
        QCOMPARE(found(QStringLiteral("会議")), 5001);
        int steps = 0;
        while (store.hasBackgroundWork() && ++steps < 100)
            QVERIFY(store.backgroundStep());
        QVERIFY(!store.hasBackgroundWork());
        QCOMPARE(found(QStringLiteral("会議")), 5001);
        QCOMPARE(found(QStringLiteral("議")), 5001);
        QCOMPARE(found(QStringLiteral("Tail")), 0); // now beyond the indexed prefix
        QCOMPARE(store.settings(), (HistorySettings{true, 0}));
        // The long line is removed cleanly from both indexes.
        QCOMPARE(store.pruneByAge(1, QDateTime::currentDateTime()), 5001 - 1);
        QCOMPARE(found(QStringLiteral("会議")), 1);
        store.close();
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        sqlite3_stmt *statement = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA auto_vacuum", -1, &statement, nullptr);
        QCOMPARE(sqlite3_step(statement), SQLITE_ROW);
        QCOMPARE(sqlite3_column_int(statement, 0), 2);
        sqlite3_finalize(statement);
        sqlite3_close(db);
    }

    // What cannot be used is left as it is and said why; a damaged database is moved aside.
    void filesThatCannotBeUsed()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("h.sqlite"));
        const QByteArray text("not a database, but the user's own file\n");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
        file.close();
        HistoryStore store;
        QCOMPARE(store.open(path).problem, HistoryProblem::NotADatabase);
        QCOMPARE(bytesOf(path), text);

        // A SQLite header over garbage: damaged.
        const QByteArray damaged = QByteArray("SQLite format 3\0", 16) + QByteArray(4096, '\x5a');
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(damaged);
        file.close();
        const HistoryStore::OpenResult result = store.open(path);
        QCOMPARE(result.problem, HistoryProblem::None);
        QVERIFY2(result.setAsidePath.contains(QStringLiteral("h.sqlite.broken-")),
                 qPrintable(result.setAsidePath));
        QCOMPARE(bytesOf(result.setAsidePath), damaged);
        QVERIFY(store.insert({chatLine(QStringLiteral("a"), QStringLiteral("new"))}));

        // A later version's file: untouched.
        store.close();
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        QCOMPARE(sqlite3_exec(db, "PRAGMA user_version=3", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        QCOMPARE(store.open(path).problem, HistoryProblem::NewerSchema);

        // A folder this user may not write.
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                              QFileDevice::ExeOther);
        const QString locked = dir.filePath(QStringLiteral("ro"));
        QVERIFY(QDir().mkdir(locked));
        QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                          QFileDevice::ReadOther | QFileDevice::ExeOther);
        QCOMPARE(openProblem(locked + QStringLiteral("/h.sqlite")), HistoryProblem::FolderNotWritable);
    }

    // Two instances share one file: each line once, none lost. A lock held longer than the busy
    // timeout is waited out with the lines kept, and said once; the history stays on.
    void twoWritersAndALock()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("h.sqlite"));
        ManualScheduler scheduler;
        History first(scheduler), second(scheduler);
        QSignalSpy firstReady(&first, &History::ready), secondReady(&second, &History::ready);
        first.open(path);
        second.open(path);
        QTRY_COMPARE(firstReady.size(), 1);
        QTRY_COMPARE(secondReady.size(), 1);
        QSignalSpy firstStored(&first, &History::stored), secondStored(&second, &History::stored);
        for (int i = 0; i < 2000; ++i) {
            HistoryLine line = chatLine(QStringLiteral("a"), QStringLiteral("line %1").arg(i));
            first.add(line);
            line.port = 1001;
            second.add(line);
            if (i % 100 == 0)
                QCoreApplication::processEvents();
        }
        HistoryStore check;
        QCOMPARE(check.open(path).problem, HistoryProblem::None);
        QTRY_COMPARE_WITH_TIMEOUT(check.count(), 4000, 20000);
        QCOMPARE(check.search(QStringLiteral("line 1999"), 10).size(), 2);

        History::Options options;
        options.busyTimeoutMs = 100;
        History third(scheduler, options);
        QSignalSpy thirdReady(&third, &History::ready), off(&third, &History::unavailable),
            notices(&third, &History::notice), thirdStored(&third, &History::stored);
        third.open(path);
        QTRY_COMPARE(thirdReady.size(), 1);
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 10000); // the history's own pruning after opening may hold it briefly
        QCOMPARE(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        third.add(chatLine(QStringLiteral("a"), QStringLiteral("held")));
        QTRY_COMPARE(notices.size(), 1);
        QVERIFY2(notices.first().first().toString().contains(path),
                 qPrintable(notices.first().first().toString()));
        third.add(chatLine(QStringLiteral("a"), QStringLiteral("held again")));
        QTest::qWait(300); // several busy timeouts pass with the lock held
        QCOMPARE(third.state(), History::State::Ready);
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        QTRY_COMPARE(check.search(QStringLiteral("held"), 10).size(), 2);
        QCOMPARE(off.size(), 0);
        QCOMPARE(notices.size(), 1);
    }

    // Clearing a large shared file never keeps the other instance from storing: none of its lines
    // is lost and its history stays on, with a busy timeout far shorter than the clear.
    void clearBesideAnotherInstance()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("h.sqlite"));
        {
            HistoryStore fill;
            QCOMPARE(fill.open(path).problem, HistoryProblem::None);
            for (int batch = 0; batch < 20; ++batch) {
                HistoryLines lines;
                for (int i = 0; i < 1000; ++i)
                    lines.append(
                        chatLine(QStringLiteral("a"), QStringLiteral("明日の会議は三時からです %1").arg(i)));
                QVERIFY(fill.insert(lines));
            }
        }
        ManualScheduler scheduler;
        History::Options quick;
        quick.busyTimeoutMs = 20;
        History clearing(scheduler), other(scheduler, quick);
        QSignalSpy clearingReady(&clearing, &History::ready), otherReady(&other, &History::ready),
            cleared(&clearing, &History::cleared), off(&other, &History::unavailable);
        other.open(path);
        QTRY_COMPARE(otherReady.size(), 1);
        clearing.open(path);
        QTRY_COMPARE(clearingReady.size(), 1);
        clearing.clear();
        for (int i = 0; i < 200 && cleared.isEmpty(); ++i) {
            other.add(chatLine(QStringLiteral("b"), QStringLiteral("during %1").arg(i)));
            QTest::qWait(5);
        }
        QTRY_COMPARE_WITH_TIMEOUT(cleared.size(), 1, 30000);
        QVERIFY(cleared.first().first().toBool());
        const int added = 200;
        for (int i = 0; i < added; ++i)
            other.add(chatLine(QStringLiteral("b"), QStringLiteral("after %1").arg(i)));
        HistoryStore check;
        QCOMPARE(check.open(path).problem, HistoryProblem::None);
        QTRY_COMPARE_WITH_TIMEOUT(check.search(QStringLiteral("after"), 1000).size(), added, 20000);
        QCOMPARE(off.size(), 0);
        QCOMPARE(other.state(), History::State::Ready);
        QVERIFY(check.search(QStringLiteral("明日の会議"), 10).isEmpty());
    }

    // The program may end while the file is still being opened: what was handed in meanwhile is
    // stored all the same, unless the file says that nothing is to be saved.
    void linesHandedInWhileOpeningAreStored_data()
    {
        QTest::addColumn<bool>("savingInFile");
        QTest::addColumn<int>("stored");
        QTest::newRow("saving") << true << 3;
        QTest::newRow("saving off in the file") << false << 0;
    }

    void linesHandedInWhileOpeningAreStored()
    {
        QFETCH(bool, savingInFile);
        QFETCH(int, stored);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("h.sqlite"));
        {
            HistoryStore store;
            QCOMPARE(store.open(path).problem, HistoryProblem::None);
            QVERIFY(store.setSettings({savingInFile, 12}));
        }
        {
            ManualScheduler scheduler;
            History history(scheduler);
            history.open(path);
            for (int i = 0; i < 3; ++i)
                history.add(chatLine(QStringLiteral("a"), QStringLiteral("最後の行 %1").arg(i)));
        }
        HistoryStore check;
        QCOMPARE(check.open(path).problem, HistoryProblem::None);
        QCOMPARE(check.count(), stored);
    }

    // A file another program keeps locked holds the end for the end's short wait, not for the
    // busy timeout.
    void aLockedFileDoesNotHoldTheEnd()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("h.sqlite"));
        ManualScheduler scheduler;
        History::Options options;
        options.busyTimeoutMs = 60000;
        options.endWaitMs = 200;
        auto history = std::make_unique<History>(scheduler, options);
        QSignalSpy ready(history.get(), &History::ready);
        history->open(path);
        QTRY_COMPARE(ready.size(), 1);
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 10000); // the history's own pruning after opening may hold it briefly
        QCOMPARE(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        history->add(chatLine(QStringLiteral("a"), QStringLiteral("held")));
        QElapsedTimer ending;
        ending.start();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^履歴: .*h\\.sqlite")));
        history.reset();
        QVERIFY2(ending.elapsed() < 30000, qPrintable(QString::number(ending.elapsed())));
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }

    // The queue is bounded: what did not fit is counted and told once; the rest is stored.
    // Views answer only the latest request.
    void boundedQueueAndLatestView()
    {
        QTemporaryDir dir;
        ManualScheduler scheduler;
        History::Options options;
        options.queueLines = 10;
        History history(scheduler, options);
        QSignalSpy notices(&history, &History::notice), found(&history, &History::linesFound);
        history.open(dir.filePath(QStringLiteral("h.sqlite")));
        for (int i = 0; i < 25; ++i) // before the file is open: they wait in the queue
            history.add(chatLine(QStringLiteral("a"), QStringLiteral("会議 %1").arg(i)));
        QTRY_COMPARE(notices.size(), 1);
        QVERIFY2(notices.first().first().toString().contains(QStringLiteral("15")),
                 qPrintable(notices.first().first().toString()));

        history.requestSearch(QStringLiteral("会議"), 100);
        const quint64 last = history.requestNewest(100);
        QTRY_COMPARE(found.size(), 1);
        QCOMPARE(found.first().first().value<quint64>(), last);
        // The ten that fitted, and the gap itself, so that the history says lines are missing.
        const HistoryLines kept = found.first().at(1).value<HistoryLines>();
        QCOMPARE(kept.size(), 11);
        QCOMPARE(kept.first().kind, HistoryLine::Kind::Gap);
        QVERIFY2(kept.first().text.contains(QStringLiteral("15")), qPrintable(kept.first().text));

        // Saving off: nothing further is written, what is kept stays.
        history.setSaving(false);
        history.add(chatLine(QStringLiteral("a"), QStringLiteral("not kept")));
        history.requestNewest(100);
        QTRY_COMPARE(found.size(), 2);
        QCOMPARE(found.last().at(1).value<HistoryLines>().size(), 11);
    }

    // The window's list and the lines around a chosen one are separate views: choosing a line while
    // a search runs, or refreshing the list after choosing one, leaves the other view's answer
    // alone. A newer request still cancels the older one of the same view.
    void viewsCancelOnlyTheirOwn()
    {
        QTemporaryDir dir;
        ManualScheduler scheduler;
        History history(scheduler);
        QSignalSpy stored(&history, &History::stored), found(&history, &History::linesFound);
        history.open(dir.filePath(QStringLiteral("h.sqlite")));
        for (int i = 0; i < 20; ++i) // one batch, once the file is open
            history.add(chatLine(QStringLiteral("a"), QStringLiteral("会議 %1").arg(i)));
        QTRY_COMPARE(stored.size(), 1);
        const auto request = [&found](int answer) { return found.at(answer).at(0).value<quint64>(); };
        const auto lines = [&found](int answer) { return found.at(answer).at(1).value<HistoryLines>(); };
        history.requestNewest(20);
        QTRY_COMPARE(found.size(), 1);
        const HistoryLines kept = lines(0);
        QCOMPARE(kept.size(), 20);

        found.clear();
        const quint64 search = history.requestSearch(QStringLiteral("会議 1"), 100);
        const quint64 around = history.requestAround(kept.at(5).id, 2);
        QTRY_COMPARE(found.size(), 2);
        QCOMPARE(request(0), search);
        QCOMPARE(lines(0).size(), 11); // 会議 1 and 会議 10 to 19
        QCOMPARE(request(1), around);
        QCOMPARE(lines(1).at(2).id, kept.at(5).id);

        found.clear();
        const quint64 context = history.requestAround(kept.at(0).id, 2);
        const quint64 newest = history.requestNewest(3);
        QTRY_COMPARE(found.size(), 2);
        QCOMPARE(request(0), context);
        QCOMPARE(request(1), newest);

        // The reader answers in order: a cancelled request would have answered first.
        found.clear();
        history.requestSearch(QStringLiteral("会議 2"), 100);
        history.requestAround(kept.at(10).id, 1);
        const quint64 lastSearch = history.requestSearch(QStringLiteral("会議 3"), 100);
        const quint64 lastContext = history.requestAround(kept.at(11).id, 1);
        QTRY_COMPARE(found.size(), 2);
        QCOMPARE(request(0), lastSearch);
        QCOMPARE(request(1), lastContext);
    }

    // Two instances share one file and its settings. Saving turned off in one stops the other's
    // next batch, which is dropped without a "not kept" notice; a keep period chosen in the other
    // leaves saving off; each comes to show what the file holds.
    void instancesShareTheFilesSettings()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("h.sqlite"));
        ManualScheduler scheduler;
        History a(scheduler), b(scheduler);
        QSignalSpy aReady(&a, &History::ready), bReady(&b, &History::ready);
        a.open(path);
        b.open(path);
        QTRY_COMPARE(aReady.size(), 1);
        QTRY_COMPARE(bReady.size(), 1);
        HistoryStore file;
        QCOMPARE(file.open(path, false).problem, HistoryProblem::None);
        QSignalSpy aChanged(&a, &History::settingsChanged), bChanged(&b, &History::settingsChanged);
        QSignalSpy bStored(&b, &History::stored), bNotices(&b, &History::notice);

        a.setSaving(false);
        QTRY_VERIFY(!file.settings().saving);
        QVERIFY(b.settings().saving); // b has not looked yet
        b.add(chatLine(QStringLiteral("b"), QStringLiteral("not to be kept")));
        QTRY_COMPARE(bChanged.size(), 1);
        QCOMPARE(b.settings(), (HistorySettings{false, 12}));
        QCOMPARE(file.count(), 0);
        QCOMPARE(bStored.size(), 0);

        b.setKeepMonths(1);
        QTRY_COMPARE(file.settings(), (HistorySettings{false, 1}));
        // a learns of it on its next look, with no line written.
        aChanged.clear();
        scheduler.advance(History::Options().settingsCheckMs);
        QTRY_COMPARE(aChanged.size(), 1);
        QCOMPARE(a.settings(), (HistorySettings{false, 1}));

        // Saving on again in a: b keeps lines again once it has looked.
        a.setSaving(true);
        QTRY_VERIFY(file.settings().saving);
        b.checkSettings();
        QTRY_VERIFY(b.settings().saving);
        QCOMPARE(b.settings().keepMonths, 1);
        b.add(chatLine(QStringLiteral("b"), QStringLiteral("kept")));
        QTRY_COMPARE(bStored.size(), 1);
        QCOMPARE(texts(file.newest(10)), QStringList{QStringLiteral("kept")});
        QVERIFY2(bNotices.isEmpty(), qPrintable(bNotices.value(0).value(0).toString()));
    }

    // The writer runs below the window's priority: on a busy machine it waited up to 1.7 s for a
    // CPU during a flood of 20,000 lines a second, and the default bound then dropped lines. Two
    // seconds of such a flood wait for it and are all kept.
    void aStalledWriterLosesNoLineOfAFlood()
    {
        QTemporaryDir dir;
        ManualScheduler scheduler;
        History history(scheduler);
        QSignalSpy notices(&history, &History::notice);
        const QString path = dir.filePath(QStringLiteral("h.sqlite"));
        history.open(path);
        // The writer takes nothing until the opening is answered on this thread.
        const int flood = 40000;
        for (int i = 1; i <= flood; ++i)
            history.add(chatLine(QStringLiteral("benchB"), QStringLiteral("flood %1").arg(i)));
        QTRY_COMPARE(history.state(), History::State::Ready);
        HistoryStore check;
        QCOMPARE(check.open(path, false).problem, HistoryProblem::None);
        // What did not fit is told after the rest is stored.
        QTRY_VERIFY_WITH_TIMEOUT(!notices.isEmpty() || check.count() == flood, 60000);
        QVERIFY2(notices.isEmpty(), qPrintable(notices.value(0).value(0).toString()));
        QCOMPARE(check.newest(1).value(0).text, QStringLiteral("flood %1").arg(flood));
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
