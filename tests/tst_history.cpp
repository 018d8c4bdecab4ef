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
        QCOMPARE(texts(store.search(query, 200)), found);
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

    void prunesByAgeAndBudget()
    {
        QTemporaryDir dir;
        HistoryStore store;
        QCOMPARE(store.open(dir.filePath(QStringLiteral("h.sqlite"))).problem, HistoryProblem::None);
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        HistoryLines lines;
        for (int i = 0; i < 3000; ++i)
            lines.append(
                chatLine(QStringLiteral("a"), QStringLiteral("古い行 %1").arg(i), now - 400LL * 86400000));
        for (int i = 0; i < 3000; ++i)
            lines.append(
                chatLine(QStringLiteral("a"), QStringLiteral("新しい行 %1 ").arg(i).repeated(5), now));
        QVERIFY(store.insert(lines));
        QCOMPARE(store.prune(now - 365LL * 86400000, qint64(1) << 30, 1000000), 3000);
        QCOMPARE(store.count(), 3000);
        QVERIFY(store.search(QStringLiteral("古い行"), 10).isEmpty());

        const qint64 used = store.usedBytes();
        const qint64 removed = store.prune(0, used / 2, 1000000);
        QVERIFY2(removed > 1000 && removed < 2500, qPrintable(QString::number(removed)));
        QCOMPARE(store.newest(1).first().text, lines.last().text); // the newest stays
        QVERIFY(store.usedBytes() < used);
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

    // After clearing, the words are nowhere in the file or its journal; the settings stay.
    void clearLeavesNoText()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("h.sqlite"));
        HistoryStore store;
        QCOMPARE(store.open(path).problem, HistoryProblem::None);
        QVERIFY(store.setSettings({false, 1}));
        HistoryLines lines;
        for (int i = 0; i < 200; ++i)
            lines.append(chatLine(QStringLiteral("Zebra"), QStringLiteral("Secret-password-%1").arg(i)));
        QVERIFY(store.insert(lines));
        const auto everywhere = [&] { return bytesOf(path) + bytesOf(path + QStringLiteral("-wal")); };
        QVERIFY(everywhere().contains("Secret-password"));
        QVERIFY(store.clear());
        QVERIFY(!everywhere().contains("Secret-password"));
        QVERIFY(!everywhere().contains("Zebra"));
        QCOMPARE(store.count(), 0);
        QCOMPARE(store.settings(), (HistorySettings{false, 1}));
        QVERIFY(store.insert({chatLine(QStringLiteral("a"), QStringLiteral("after"))}));
        QCOMPARE(texts(store.search(QStringLiteral("after"), 5)), QStringList{QStringLiteral("after")});
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
        QCOMPARE(sqlite3_exec(db, "PRAGMA user_version=2", nullptr, nullptr, nullptr), SQLITE_OK);
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

    // Two instances share one file: each line once, none lost; a lock held too long turns the history
    // off with one line, not one per line.
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
        QSignalSpy thirdReady(&third, &History::ready), off(&third, &History::unavailable);
        third.open(path);
        QTRY_COMPARE(thirdReady.size(), 1);
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 10000); // the history's own pruning after opening may hold it briefly
        QCOMPARE(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        third.add(chatLine(QStringLiteral("a"), QStringLiteral("held")));
        QTRY_COMPARE(off.size(), 1);
        QVERIFY2(off.first().first().toString().contains(path), qPrintable(off.first().first().toString()));
        third.add(chatLine(QStringLiteral("a"), QStringLiteral("held again")));
        QCOMPARE(third.state(), History::State::Off);
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        QCOMPARE(off.size(), 1);
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
        QCOMPARE(found.first().at(1).value<HistoryLines>().size(), 10);

        // Saving off: nothing further is written, what is kept stays.
        history.setSettings({false, 12});
        history.add(chatLine(QStringLiteral("a"), QStringLiteral("not kept")));
        history.requestNewest(100);
        QTRY_COMPARE(found.size(), 2);
        QCOMPARE(found.last().at(1).value<HistoryLines>().size(), 10);
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
