#include "manualscheduler.h"
#include "share/sharecode.h"
#include "share/shareregistry.h"
#include "share/sharestore.h"
#include "share/sharetable.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace {

constexpr qint64 hourMs = 60 * 60 * 1000;
constexpr qint64 dayMs = 24 * hourMs;

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

QByteArray patterned(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 7919) >> 3);
    return bytes;
}

// One run of the program: the store on the history's file, the server's table and the registry.
struct Run
{
    Run(const QString &database, Scheduler &scheduler, const ShareNow &now, int owner = 0)
    {
        openProblem = store.open(database, owner);
        registry = std::make_unique<ShareRegistry>(&store, table, scheduler, now);
    }

    ShareEntry share(const QString &path, ShareLifetime lifetime = ShareLifetime::OneDay,
                     const QStringList &recipients = {})
    {
        auto result = registry->share(path, lifetime, recipients);
        if (const QString *message = std::get_if<QString>(&result))
            qWarning("refused: %s", qPrintable(*message));
        return std::holds_alternative<ShareEntry>(result) ? std::get<ShareEntry>(result) : ShareEntry{};
    }

    bool digestKnown(const QString &code) const
    {
        const auto entry = table.find(code);
        return entry && entry->sha256.size() == 32;
    }

    ShareStore store;
    QString openProblem;
    ShareTable table;
    std::unique_ptr<ShareRegistry> registry;
};

} // namespace

class TestShareRegistry : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    ManualScheduler m_scheduler;
    qint64 m_clockOffset = 0; // moves the wall clock apart from the scheduler, as a restart does
    ShareNow m_now = [this] { return 1'700'000'000'000 + m_clockOffset + m_scheduler.now(); };

    QString database() const { return m_dir.filePath(QStringLiteral("history.sqlite")); }
    QString file(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void init()
    {
        QFile::remove(database());
        QFile::remove(database() + QStringLiteral("-wal"));
        QFile::remove(database() + QStringLiteral("-shm"));
        m_clockOffset = 0;
    }

    // Two instances of one user (two chat ports) may keep their shares in one file: neither serves
    // or ends the other's shares, and each keeps its own port, so their links stay apart.
    void instancesOnOneFileKeepTheirOwn()
    {
        writeFile(file(QStringLiteral("a.txt")), "a");
        writeFile(file(QStringLiteral("b.txt")), "b");
        QString first, second;
        {
            Run one(database(), m_scheduler, m_now, 1000);
            Run two(database(), m_scheduler, m_now, 1001);
            one.registry->start();
            two.registry->start();
            first = one.share(file(QStringLiteral("a.txt")), ShareLifetime::UntilEnd).code;
            second = two.share(file(QStringLiteral("b.txt")), ShareLifetime::OneDay).code;
            one.registry->rememberPort(50012);
            two.registry->rememberPort(50013);
            // The second instance restarts while the first runs: the first's share stays.
            Run again(database(), m_scheduler, m_now, 1001);
            again.registry->start();
            QVERIFY(!again.table.find(first));
            QVERIFY(again.table.find(second));
            QCOMPARE(again.registry->preferredPort(), std::optional<quint16>(50013));
            QCOMPARE(one.store.loadAll().index(), 0u);
            QCOMPARE(std::get<0>(one.store.loadAll()).size(), 1);
        }
        Run one(database(), m_scheduler, m_now, 1000);
        one.registry->start();
        QCOMPARE(one.registry->preferredPort(), std::optional<quint16>(50012));
        QVERIFY(!one.table.find(second));
    }

    // Links in lines already sent must keep working after a restart: the same code, file, identity,
    // recipients, digest and port; the digest is not computed again.
    void survivesRestartWithItsCodeAndDigest()
    {
        const QByteArray content = patterned(2 * 1024 * 1024 + 17); // more than one block
        writeFile(file(QStringLiteral("見積書.xlsx")), content);
        ShareEntry shared;
        {
            Run run(database(), m_scheduler, m_now);
            QCOMPARE(run.openProblem, QString());
            QSignalSpy digests(run.registry.get(), &ShareRegistry::digestReady);
            run.registry->start();
            QCOMPARE(run.registry->preferredPort(), std::nullopt);
            shared = run.share(file(QStringLiteral("見積書.xlsx")), ShareLifetime::SevenDays,
                               {QStringLiteral("198.18.0.12")});
            QCOMPARE(ShareCode::normalized(shared.code), shared.code);
            QVERIFY2(run.table.find(shared.code).has_value(), "a share must be served at once");
            QTRY_VERIFY_WITH_TIMEOUT(run.digestKnown(shared.code), 20000);
            QCOMPARE(run.table.find(shared.code)->sha256, sha256(content));
            QCOMPARE(digests.size(), 1);
            QCOMPARE(digests.at(0).at(0).toString(), shared.code);
            run.registry->rememberPort(50014);
        }
        m_clockOffset = 3 * dayMs;
        Run run(database(), m_scheduler, m_now);
        QSignalSpy digests(run.registry.get(), &ShareRegistry::digestReady);
        run.registry->start();
        const auto entry = run.table.find(shared.code);
        QVERIFY2(entry.has_value(), "a stored share must be served again after a restart");
        QCOMPARE(entry->path, shared.path);
        QCOMPARE(entry->name, QStringLiteral("見積書.xlsx"));
        QCOMPARE(entry->identity, shared.identity);
        QCOMPARE(entry->recipients, QStringList{QStringLiteral("198.18.0.12")});
        QCOMPARE(entry->expiresMs, shared.sharedMs + 7 * dayMs);
        QVERIFY2(entry->sha256 == sha256(content),
                 "the stored digest must be served at once after a restart");
        QCOMPARE(run.registry->preferredPort(), std::optional<quint16>(50014));
        const QList<ShareStatus> statuses = run.registry->shares();
        QCOMPARE(statuses.size(), 1);
        QCOMPARE(statuses.at(0).lifetime, ShareLifetime::SevenDays);

        // Computed once: a digest read from the store is not computed again. A stored digest
        // that is not the file's shows it, while a larger file shared after it is hashed.
        const QString other = file(QStringLiteral("large.bin"));
        writeFile(other, patterned(6 * 1024 * 1024));
        const ShareEntry large = run.share(other);
        QTRY_VERIFY_WITH_TIMEOUT(run.digestKnown(large.code), 20000);
        QCoreApplication::processEvents();
        QCOMPARE(digests.size(), 1);
        QCOMPARE(digests.at(0).at(0).toString(), large.code);
    }

    // A share whose digest was still being computed when the program ended gets it at the next
    // start; the digest of an empty file is the empty input's.
    void unfinishedDigestComputedAtStart()
    {
        writeFile(file(QStringLiteral("empty.txt")), {});
        ShareEntry entry;
        entry.code = QStringLiteral("K7QXM2PDA9");
        entry.path = file(QStringLiteral("empty.txt"));
        entry.name = QStringLiteral("empty.txt");
        entry.identity = *FileIdentity::ofPath(entry.path);
        entry.sharedMs = m_now();
        entry.expiresMs = entry.sharedMs + hourMs;
        {
            ShareStore store;
            QCOMPARE(store.open(database()), QString());
            QCOMPARE(store.insert(entry), QString());
        }
        Run run(database(), m_scheduler, m_now);
        QSignalSpy digests(run.registry.get(), &ShareRegistry::digestReady);
        run.registry->start();
        QVERIFY(run.table.find(entry.code).has_value());
        QTRY_COMPARE_WITH_TIMEOUT(digests.size(), 1, 20000);
        QCOMPARE(run.table.find(entry.code)->sha256, sha256({}));
        ShareStore reader;
        QCOMPARE(reader.open(database()), QString());
        const auto loaded = reader.loadAll();
        QCOMPARE(std::get<QList<ShareStore::StoredShare>>(loaded).at(0).entry.sha256, sha256({}));
    }

    void droppedAtStart_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("content changed, same size") << QStringLiteral("rewrite");
        QTest::newRow("grew") << QStringLiteral("append");
        QTest::newRow("only touched") << QStringLiteral("touch");
        QTest::newRow("replaced by another file") << QStringLiteral("replace");
        QTest::newRow("deleted") << QStringLiteral("delete");
        QTest::newRow("expired meanwhile") << QStringLiteral("expire");
        QTest::newRow("until the previous run ended") << QStringLiteral("untilEnd");
    }

    // Whatever changed while the program was not running: a changed file is not the one the link
    // was sent for; the previous run's "until the program ends" shares ended with it.
    void droppedAtStart()
    {
        QFETCH(QString, change);
        const QString path = file(QStringLiteral("report.pdf"));
        const QString kept = file(QStringLiteral("kept.txt"));
        writeFile(path, "version one");
        writeFile(kept, "unchanged");
        QString code, keptCode;
        {
            Run run(database(), m_scheduler, m_now);
            run.registry->start();
            code = run.share(path, change == QStringLiteral("untilEnd") ? ShareLifetime::UntilEnd
                                                                        : ShareLifetime::OneHour)
                       .code;
            keptCode = run.share(kept, ShareLifetime::SevenDays).code;
            QTRY_VERIFY_WITH_TIMEOUT(run.digestKnown(code) && run.digestKnown(keptCode), 20000);
        }
        if (change == QStringLiteral("rewrite")) {
            writeFile(path, "version two");
        } else if (change == QStringLiteral("append")) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::Append));
            f.write("!");
        } else if (change == QStringLiteral("touch")) {
            const struct timespec times[2] = {{0, UTIME_OMIT}, {1'600'000'000, 5}};
            QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
        } else if (change == QStringLiteral("replace")) {
            // The same bytes and time under the same name: only the inode tells.
            const QString other = file(QStringLiteral("other"));
            writeFile(other, "version one");
            const auto before = FileIdentity::ofPath(path);
            const struct timespec times[2] = {
                {0, UTIME_OMIT}, {qint64(before->mtimeNs / 1000000000), long(before->mtimeNs % 1000000000)}};
            QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(other).constData(), times, 0), 0);
            QCOMPARE(::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()), 0);
        } else if (change == QStringLiteral("delete")) {
            QVERIFY(QFile::remove(path));
        } else if (change == QStringLiteral("expire")) {
            m_clockOffset = hourMs;
        }
        Run run(database(), m_scheduler, m_now);
        run.registry->start();
        QVERIFY2(!run.table.find(code).has_value(), "the share must not be served again");
        // A link to it that still goes round is answered as gone (410), with the reason.
        const bool changed = change != QStringLiteral("expire") && change != QStringLiteral("untilEnd");
        QCOMPARE(run.table.ending(code),
                 std::optional(changed ? ShareTable::Ending::Changed : ShareTable::Ending::Ended));
        QCOMPARE(run.registry->shares().size(), 1);
        QVERIFY2(run.table.find(keptCode).has_value(), "an unchanged share must stay");
        // Gone from the file too, not only skipped.
        const auto loaded = run.store.loadAll();
        const auto &stored = std::get<QList<ShareStore::StoredShare>>(loaded);
        QCOMPARE(stored.size(), 1);
        QCOMPARE(stored.at(0).entry.code, keptCode);
    }

    // Lifetimes are counted from the moment of sharing, on the scheduler's time; "until the program
    // ends" never expires but goes at the end.
    void expiryOnTheScheduler()
    {
        writeFile(file(QStringLiteral("a")), "a");
        Run run(database(), m_scheduler, m_now);
        run.registry->start();
        QSignalSpy ended(run.registry.get(), &ShareRegistry::ended);
        const QString hour = run.share(file(QStringLiteral("a")), ShareLifetime::OneHour).code;
        m_scheduler.advance(30 * 60 * 1000);
        const QString day = run.share(file(QStringLiteral("a")), ShareLifetime::OneDay).code;
        const QString week = run.share(file(QStringLiteral("a")), ShareLifetime::SevenDays).code;
        const QString untilEnd = run.share(file(QStringLiteral("a")), ShareLifetime::UntilEnd).code;
        QCOMPARE(run.registry->shares().size(), 4);

        m_scheduler.advance(30 * 60 * 1000 - 1);
        QVERIFY2(run.table.find(hour).has_value(), "a share must last its whole hour");
        m_scheduler.advance(1);
        QVERIFY2(!run.table.find(hour).has_value(), "a share must end at its hour");
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended.at(0).at(0).toString(), hour);
        QVERIFY(!ended.at(0).at(1).toString().isEmpty());

        m_scheduler.advance(int(dayMs - hourMs + 30 * 60 * 1000 - 1));
        QVERIFY(run.table.find(day).has_value());
        m_scheduler.advance(1);
        QVERIFY(!run.table.find(day).has_value());
        m_scheduler.advance(int(6 * dayMs));
        QVERIFY(!run.table.find(week).has_value());
        QCOMPARE(ended.size(), 3);
        m_scheduler.advance(int(30 * dayMs));
        QVERIFY2(run.table.find(untilEnd).has_value(), "until the program ends means no expiry");

        run.registry->stopAll();
        QCOMPARE(run.table.size(), 0);
        QVERIFY(std::get<QList<ShareStore::StoredShare>>(run.store.loadAll()).isEmpty());
    }

    void refused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("said");
        QTest::newRow("folder") << QStringLiteral("folder") << QStringLiteral("フォルダー");
        QTest::newRow("FIFO") << QStringLiteral("fifo") << QStringLiteral("通常のファイルではない");
        QTest::newRow("socket") << QStringLiteral("socket") << QStringLiteral("通常のファイルではない");
        QTest::newRow("missing") << QStringLiteral("missing") << QStringLiteral("見つかりません");
        QTest::newRow("unreadable") << QStringLiteral("unreadable") << QStringLiteral("権限");
    }

    // Only a regular file the user can read is shared: anything else is refused with a reason, not
    // published with a link that could never work (and a FIFO must not hang the window).
    void refused()
    {
        QFETCH(QString, kind);
        QFETCH(QString, said);
        const QString path = file(QStringLiteral("target-") + kind);
        if (kind == QStringLiteral("folder")) {
            QVERIFY(QDir().mkpath(path));
        } else if (kind == QStringLiteral("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
        } else if (kind == QStringLiteral("socket")) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address = {};
            address.sun_family = AF_UNIX;
            const QByteArray native = QFile::encodeName(path);
            QVERIFY(size_t(native.size()) < sizeof(address.sun_path));
            std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
            QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
            ::close(fd);
        } else if (kind == QStringLiteral("unreadable")) {
            writeFile(path, "secret");
            QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0200), 0);
        }

        QString message;
        if (kind == QStringLiteral("unreadable") && ::geteuid() == 0) {
            // Root reads any file: the attempt runs as nobody in a child process.
            QCOMPARE(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
            int pipeFds[2];
            QCOMPARE(::pipe(pipeFds), 0);
            const pid_t child = ::fork();
            if (child == 0) {
                if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                    ::_exit(100);
                ShareTable table;
                ShareRegistry registry(nullptr, table, m_scheduler, m_now);
                const auto result = registry.share(path, ShareLifetime::OneDay, {});
                const QByteArray text = std::holds_alternative<QString>(result)
                                            ? std::get<QString>(result).toUtf8()
                                            : QByteArrayLiteral("shared");
                const bool written =
                    ::write(pipeFds[1], text.constData(), size_t(text.size())) == text.size();
                ::_exit(written && table.size() == 0 ? 0 : 1);
            }
            ::close(pipeFds[1]);
            QByteArray text;
            char buffer[4096];
            ssize_t got = 0;
            while ((got = ::read(pipeFds[0], buffer, sizeof(buffer))) > 0)
                text.append(buffer, got);
            ::close(pipeFds[0]);
            int status = 0;
            ::waitpid(child, &status, 0);
            ::chmod(QFile::encodeName(m_dir.path()).constData(), 0700);
            QCOMPARE(WEXITSTATUS(status), 0);
            message = QString::fromUtf8(text);
        } else {
            Run run(database(), m_scheduler, m_now);
            run.registry->start();
            const auto result = run.registry->share(path, ShareLifetime::OneDay, {});
            QVERIFY2(std::holds_alternative<QString>(result), "the share must be refused");
            message = std::get<QString>(result);
            QCOMPARE(run.table.size(), 0);
            QVERIFY(run.registry->shares().isEmpty());
            QVERIFY(std::get<QList<ShareStore::StoredShare>>(run.store.loadAll()).isEmpty());
        }
        QVERIFY2(message.contains(said), qPrintable(message));
    }

    void brokenDatabase_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("advice");
        QTest::newRow("not a database") << QStringLiteral("garbage") << QStringLiteral("別の場所へ移して");
        QTest::newRow("damaged SQLite file") << QStringLiteral("damaged") << QStringLiteral("起動し直す");
        QTest::newRow("folder cannot hold it")
            << QStringLiteral("unwritable") << QStringLiteral("書き込めるか");
    }

    // The chat goes on with a store it cannot use: shares work for this run, the user is told once
    // that they will not outlive the program, and the file is left as it was.
    void brokenDatabase()
    {
        QFETCH(QString, kind);
        QFETCH(QString, advice);
        QString path = database();
        QByteArray before;
        if (kind == QStringLiteral("garbage")) {
            before = patterned(8192);
        } else if (kind == QStringLiteral("damaged")) {
            before = QByteArray("SQLite format 3\0", 16) + patterned(8192 - 16);
            before[16] = 0x10; // page size 4096, so that SQLite reads on and finds the damage
            before[17] = 0x00;
        } else {
            // Below a regular file, no user can make it, root included.
            writeFile(file(QStringLiteral("plain")), "x");
            path = file(QStringLiteral("plain/history.sqlite"));
        }
        if (!before.isEmpty())
            writeFile(path, before);
        writeFile(file(QStringLiteral("a")), "a");

        Run run(path, m_scheduler, m_now);
        QVERIFY(!run.openProblem.isEmpty());
        QSignalSpy problems(run.registry.get(), &ShareRegistry::problem);
        run.registry->start();
        QCOMPARE(problems.size(), 1);
        QVERIFY(run.registry->inMemoryOnly());
        const QString message = problems.at(0).at(0).toString();
        // What failed, what the user can do, and what it means for the shares; in words of its own,
        // not SQLite's or the system's ("file is not a database", "Not a directory").
        QVERIFY2(message.contains(path) && message.contains(advice) &&
                     message.contains(QStringLiteral("プログラムを終えると消えます")),
                 qPrintable(message));
        QVERIFY2(!QString(message).remove(path).contains(
                     QRegularExpression(QStringLiteral("[A-Za-z]{2,} [A-Za-z]{2,}"))),
                 qPrintable(message));
        QCOMPARE(run.registry->problemText(), message);

        const ShareEntry first = run.share(file(QStringLiteral("a")), ShareLifetime::OneHour);
        QVERIFY(run.table.find(first.code).has_value());
        QTRY_VERIFY_WITH_TIMEOUT(run.digestKnown(first.code), 20000);
        run.registry->rememberPort(50013);
        QCOMPARE(run.registry->preferredPort(), std::optional<quint16>(50013));
        run.registry->stop(first.code);
        m_scheduler.advance(int(hourMs));
        QCOMPARE(problems.size(), 1);
        if (!before.isEmpty())
            QVERIFY2(bytesOf(path) == before, "a file the store cannot use must be left as it was");
    }

    // The server found the file changed: the share ends for good, in the table and the store.
    void fileChangedEndsTheShare()
    {
        writeFile(file(QStringLiteral("a")), "a");
        QString code;
        {
            Run run(database(), m_scheduler, m_now);
            run.registry->start();
            QSignalSpy ended(run.registry.get(), &ShareRegistry::ended);
            QSignalSpy changed(run.registry.get(), &ShareRegistry::changed);
            code = run.share(file(QStringLiteral("a"))).code;
            const QString other = run.share(file(QStringLiteral("a"))).code;
            QMetaObject::invokeMethod(run.registry.get(), "fileChanged", Qt::QueuedConnection,
                                      Q_ARG(QString, code));
            QTRY_COMPARE(ended.size(), 1);
            QCOMPARE(ended.at(0).at(0).toString(), code);
            QVERIFY2(ended.at(0).at(1).toString().contains(QStringLiteral("変更")),
                     qPrintable(ended.at(0).at(1).toString()));
            QVERIFY(!run.table.find(code).has_value());
            QVERIFY(run.table.find(other).has_value());
            QVERIFY(changed.size() >= 3);
            // An unknown code, or one already ended, changes nothing.
            run.registry->fileChanged(code);
            run.registry->fileChanged(QStringLiteral("ZZZZZZZZZZ"));
            QCOMPARE(ended.size(), 1);
            QCOMPARE(run.registry->shares().size(), 1);
        }
        Run run(database(), m_scheduler, m_now);
        run.registry->start();
        QVERIFY2(!run.table.find(code).has_value(), "an ended share must not come back after a restart");
        QCOMPARE(run.table.size(), 1);
    }

    // Finished downloads add up over runs: the server counts from zero at each start.
    void downloadsAddUpOverRuns()
    {
        writeFile(file(QStringLiteral("a")), "a");
        QString code;
        int total = 0;
        for (const int finishedThisRun : {3, 2, 0}) {
            Run run(database(), m_scheduler, m_now);
            run.registry->start();
            if (code.isEmpty())
                code = run.share(file(QStringLiteral("a"))).code;
            QCOMPARE(run.registry->shares().at(0).downloads, total);
            run.registry->setDownloadCounts({{code, finishedThisRun}});
            total += finishedThisRun;
            QCOMPARE(run.registry->shares().at(0).downloads, total);
        }
    }
};

QTEST_GUILESS_MAIN(TestShareRegistry)
#include "tst_shareregistry.moc"
