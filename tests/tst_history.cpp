#include "history/history.h"
#include "history/historyexport.h"
#include "history/historylocation.h"
#include "history/historystore.h"
#include "historylines.h"
#include "manualscheduler.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
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
        QCOMPARE(HistoryLocation::prepareFolder(path), QString());
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
        history.setSettings({false, 12});
        history.add(chatLine(QStringLiteral("a"), QStringLiteral("not kept")));
        history.requestNewest(100);
        QTRY_COMPARE(found.size(), 2);
        QCOMPARE(found.last().at(1).value<HistoryLines>().size(), 11);
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
