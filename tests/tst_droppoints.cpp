// Drop points: uploads by curl into a folder through the share server on 127.0.0.1 (127.0.0.2 and
// .3 stand for other addresses), their bounds, and the registry that keeps them.
#include "manualscheduler.h"
#include "openfiles.h"
#include "share/droppointregistry.h"
#include "share/droppointstore.h"
#include "share/droppointtable.h"
#include "share/shareserver.h"
#include "share/sharetable.h"
#include "share/uploadpage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <cstdio>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 hourMs = 60 * 60 * 1000;

struct Reply
{
    int status = 0;
    QByteArray headers;
    QByteArray body;
    qint64 uploaded = 0; // the request body's bytes curl sent

    QByteArray field(const QByteArray &name) const
    {
        for (const QByteArray &line : headers.split('\n')) {
            if (line.toLower().startsWith(name.toLower() + ':'))
                return line.mid(name.size() + 1).trimmed();
        }
        return {};
    }
};

QByteArray pattern(qint64 size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251 + seed) & 0xff);
    return bytes;
}

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

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

} // namespace

class TestDropPoints : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void curlUploadsLandAsNewFilesUnderSafeNames();
    void refusalsLeaveNothingBehind();
    void aDiskThatFillsStopsTheUpload();
    void registryKeepsDropPointsAcrossARestartAndClearsLeftovers();
    void runningUploadsEndWithTheirDropPoint();
    void resumableUploadsGoOnAfterABreakAndARestart();
    void thePageSpeaksTheBrowsersLanguageAndRunsNothingInline();

private:
    // Runs curl to the end; the answer's status, fields and body.
    Reply curl(const QStringList &arguments);
    QString link(const QString &code) const
    {
        return QStringLiteral("http://127.0.0.1:%1/u/%2").arg(m_server->port()).arg(code);
    }
    void startServer(FreeSpaceFloor floor = {});

    ManualScheduler m_scheduler;
    ShareNow m_now = [this] { return 1'700'000'000'000 + m_scheduler.now(); };
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_folder;
    ShareTable m_shares;
    std::unique_ptr<DropPointTable> m_table;
    std::unique_ptr<DropPointRegistry> m_registry;
    std::unique_ptr<ShareServer> m_server;
    int m_calls = 0;
};

void TestDropPoints::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_folder = m_dir->filePath(QStringLiteral("inbox"));
    QVERIFY(QDir().mkpath(m_folder));
    m_table = std::make_unique<DropPointTable>();
    m_registry = std::make_unique<DropPointRegistry>(nullptr, *m_table, m_scheduler, m_now);
}

void TestDropPoints::cleanup()
{
    m_server.reset();
    m_registry.reset();
    m_table.reset();
    m_dir.reset();
}

void TestDropPoints::startServer(FreeSpaceFloor floor)
{
    ShareServer::Limits limits;
    limits.freeSpaceFloor = std::move(floor);
    m_server = std::make_unique<ShareServer>(m_shares, m_now, m_scheduler, limits);
    m_server->setDropPoints(m_table.get());
    connect(m_server.get(), &ShareServer::uploadReceived, m_registry.get(), &DropPointRegistry::receive);
    connect(m_server.get(), &ShareServer::uploadFailed, m_registry.get(), &DropPointRegistry::fail);
    connect(m_server.get(), &ShareServer::uploadPartCreated, m_registry.get(),
            &DropPointRegistry::partCreated);
    connect(m_server.get(), &ShareServer::uploadPartGone, m_registry.get(), &DropPointRegistry::partGone);
    connect(m_server.get(), &ShareServer::uploadResumableSaved, m_registry.get(),
            &DropPointRegistry::resumableSaved);
    connect(m_server.get(), &ShareServer::uploadResumableGone, m_registry.get(),
            &DropPointRegistry::resumableGone);
    const auto failure = m_server->listen(QHostAddress::LocalHost, 0);
    QVERIFY2(!failure, qPrintable(failure.value_or(QString())));
}

Reply TestDropPoints::curl(const QStringList &arguments)
{
    const QString headers = m_dir->filePath(QStringLiteral("headers-%1").arg(++m_calls));
    const QString body = m_dir->filePath(QStringLiteral("body-%1").arg(m_calls));
    QProcess process;
    process.start(QStringLiteral("curl"),
                  QStringList{QStringLiteral("-sS"), QStringLiteral("-D"), headers, QStringLiteral("-o"),
                              body, QStringLiteral("-w"), QStringLiteral("%{http_code} %{size_upload}")} +
                      arguments);
    if (!process.waitForFinished(30000))
        process.kill();
    const QList<QByteArray> written = process.readAllStandardOutput().split(' ');
    return {written.value(0).toInt(), bytesOf(headers), bytesOf(body), written.value(1).toLongLong()};
}

// The whole road of a file: PUT and multipart, the name it gets when it arrived already or when a
// link was planted under it, hostile names, the mode and the digest told to the sender.
void TestDropPoints::curlUploadsLandAsNewFilesUnderSafeNames()
{
    startServer();
    QSignalSpy received(m_registry.get(), &DropPointRegistry::fileReceived);
    const auto opened = m_registry->open(m_folder, ShareLifetime::OneHour, {}, QStringLiteral("<b>Aoi</b>"));
    QVERIFY(std::holds_alternative<DropPointEntry>(opened));
    const QString code = std::get<DropPointEntry>(opened).code;

    const QString report = m_dir->filePath(QStringLiteral("report.pdf"));
    const QByteArray reportBytes = pattern(700 * 1024);
    writeFile(report, reportBytes);
    const QByteArray reportDigest = QCryptographicHash::hash(reportBytes, QCryptographicHash::Sha256).toHex();

    Reply put = curl({QStringLiteral("-T"), report, link(code) + u'/'});
    QCOMPARE(put.status, 201);
    QVERIFY2(put.body.contains("report.pdf") && put.body.contains(reportDigest), put.body.constData());
    QVERIFY(put.headers.contains("Content-Security-Policy: default-src 'self'"));
    QVERIFY(put.headers.contains("X-Content-Type-Options: nosniff"));
    QVERIFY(put.headers.contains("Referrer-Policy: no-referrer"));
    QCOMPARE(bytesOf(m_folder + QStringLiteral("/report.pdf")), reportBytes);
    struct stat status = {};
    QCOMPARE(::stat(QFile::encodeName(m_folder + QStringLiteral("/report.pdf")).constData(), &status), 0);
    QCOMPARE(status.st_mode & 07777, mode_t(0600));
    QTRY_COMPARE(received.size(), 1);
    QCOMPARE(received[0][1].toString(), QStringLiteral("report.pdf"));
    QCOMPARE(received[0][2].toLongLong(), qint64(reportBytes.size()));
    QCOMPARE(received[0][3].toByteArray().toHex(), reportDigest);
    QCOMPARE(received[0][4].toString(), QStringLiteral("127.0.0.1"));

    // The same name again is a new file, never an overwrite.
    put = curl({QStringLiteral("-T"), report, link(code) + u'/'});
    QCOMPARE(put.status, 201);
    QVERIFY(put.body.contains("report (1).pdf"));
    QCOMPARE(bytesOf(m_folder + QStringLiteral("/report (1).pdf")), reportBytes);

    // A link planted under the name, pointing out of the folder, is neither followed nor replaced.
    const QString outside = m_dir->filePath(QStringLiteral("outside.txt"));
    writeFile(outside, "keep me");
    QVERIFY(QFile::link(outside, m_folder + QStringLiteral("/notes.txt")));
    const QString notes = m_dir->filePath(QStringLiteral("notes.txt"));
    writeFile(notes, "the notes");
    const QString other = m_dir->filePath(QStringLiteral("other.bin"));
    writeFile(other, pattern(100 * 1024, 3));
    const Reply form = curl({QStringLiteral("-F"), QStringLiteral("file=@") + notes, QStringLiteral("-F"),
                             QStringLiteral("file=@") + other, link(code)});
    QCOMPARE(form.status, 201);
    QVERIFY2(form.body.contains("notes (1).txt") && form.body.contains("other.bin"), form.body.constData());
    QCOMPARE(bytesOf(outside), QByteArray("keep me"));
    QVERIFY(QFileInfo(m_folder + QStringLiteral("/notes.txt")).isSymLink());
    QCOMPARE(bytesOf(m_folder + QStringLiteral("/notes (1).txt")), QByteArray("the notes"));
    QCOMPARE(bytesOf(m_folder + QStringLiteral("/other.bin")), pattern(100 * 1024, 3));

    // A link planted under the name while the upload runs is not replaced by it either.
    QProcess late;
    late.start(QStringLiteral("curl"), {QStringLiteral("-sS"), QStringLiteral("-T"), QStringLiteral("-"),
                                        link(code) + QStringLiteral("/late.txt")});
    QVERIFY(late.waitForStarted());
    late.write("the first half, ");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_folder + QStringLiteral("/late.txt.part")), 10000);
    QVERIFY(QFile::link(outside, m_folder + QStringLiteral("/late.txt")));
    late.write("the second half");
    late.closeWriteChannel();
    QVERIFY(late.waitForFinished(20000));
    QVERIFY(late.readAllStandardOutput().contains("late (1).txt"));
    QCOMPARE(bytesOf(m_folder + QStringLiteral("/late (1).txt")),
             QByteArray("the first half, the second half"));
    QCOMPARE(bytesOf(outside), QByteArray("keep me"));
    QVERIFY(QFileInfo(m_folder + QStringLiteral("/late.txt")).isSymLink());
    QVERIFY(QFile::remove(m_folder + QStringLiteral("/late.txt")));
    QVERIFY(QFile::remove(m_folder + QStringLiteral("/late (1).txt")));

    // Hostile names: only the last part, no device names, no direction overrides.
    const QStringList hostile = {QStringLiteral("../escape.txt"), QStringLiteral("a/b.txt"),
                                 QStringLiteral("con.txt"), QStringLiteral("invoice\u202Etxt.exe")};
    QStringList arguments;
    for (const QString &name : hostile)
        arguments << QStringLiteral("-F") << QStringLiteral("file=@%1;filename=\"%2\"").arg(notes, name);
    const Reply hostileForm = curl(arguments << link(code));
    QCOMPARE(hostileForm.status, 201);
    const QByteArray escapedPut = QUrl::toPercentEncoding(QStringLiteral("../put.txt"));
    QCOMPARE(curl({QStringLiteral("-T"), notes, link(code) + u'/' + QString::fromLatin1(escapedPut)}).status,
             201);
    QVERIFY(!QFileInfo::exists(m_dir->filePath(QStringLiteral("escape.txt"))));
    QVERIFY(!QFileInfo::exists(m_dir->filePath(QStringLiteral("put.txt"))));
    QCOMPARE(entriesOf(m_folder),
             (QStringList{QStringLiteral("_con.txt"), QStringLiteral("b.txt"), QStringLiteral("escape.txt"),
                          QStringLiteral("invoice_txt.exe"), QStringLiteral("notes (1).txt"),
                          QStringLiteral("notes.txt"), QStringLiteral("other.bin"), QStringLiteral("put.txt"),
                          QStringLiteral("report (1).pdf"), QStringLiteral("report.pdf")}));

    // A browser gets the form, and its result as a page, with the sender's names escaped.
    const Reply page = curl({link(code)});
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.contains("&lt;b&gt;Aoi&lt;/b&gt;") && !page.body.contains("<b>Aoi"));
    const Reply browser =
        curl({QStringLiteral("-H"), QStringLiteral("Accept: text/html"), QStringLiteral("-F"),
              QStringLiteral("file=@%1;filename=\"Tom&Jerry.txt\"").arg(notes), link(code)});
    QCOMPARE(browser.status, 201);
    QVERIFY2(browser.body.contains("Tom&amp;Jerry.txt") && !browser.body.contains("Tom&J"),
             browser.body.constData());
    QVERIFY2(browser.body.contains("<html lang=\"ja\"") && browser.body.contains("に送りました") &&
                 !browser.body.contains("Sent"),
             browser.body.constData());
    // In the language the browser prefers, with the way back to the drop point's page.
    const Reply english =
        curl({QStringLiteral("-H"), QStringLiteral("Accept: text/html"), QStringLiteral("-H"),
              QStringLiteral("Accept-Language: en-GB,en;q=0.9,ja;q=0.4"), QStringLiteral("-F"),
              QStringLiteral("file=@%1;filename=memo.txt").arg(notes), link(code)});
    QCOMPARE(english.status, 201);
    QVERIFY2(english.body.contains("<html lang=\"en\"") && english.body.contains("Sent to &lt;b&gt;Aoi") &&
                 !english.body.contains("送りました") &&
                 english.body.contains("href=\"/u/" + code.toLatin1() + "\""),
             english.body.constData());
    QTRY_COMPARE(m_registry->received(code).size(), 12);
}

// Each refusal with its status, and no .part left by any of them.
void TestDropPoints::refusalsLeaveNothingBehind()
{
    // The floor: none, out of reach, or out of reach once the upload has written 32 KiB.
    enum Floor { None, Always, AfterSomeBytes };
    std::atomic<int> floor{None};
    const QString filling = m_folder + QStringLiteral("/full.bin.part");
    startServer([&floor, filling](qint64 capacity) {
        const bool reached =
            floor == Always || (floor == AfterSomeBytes && QFileInfo(filling).size() >= 32 * 1024);
        return reached ? capacity + 1 : 0;
    });
    QSignalSpy failed(m_registry.get(), &DropPointRegistry::uploadFailed);
    const auto opened = m_registry->open(m_folder, ShareLifetime::OneHour, {QStringLiteral("127.0.0.1")},
                                         QStringLiteral("Aoi"), 300 * 1024);
    const QString code = std::get<DropPointEntry>(opened).code;
    const QString big = m_dir->filePath(QStringLiteral("big.bin"));
    writeFile(big, pattern(400 * 1024));
    const QString small = m_dir->filePath(QStringLiteral("small.bin"));
    writeFile(small, pattern(100 * 1024));

    // Beyond the limit, announced by Content-Length (refused before a byte is written) and found
    // only on the way (chunked).
    QSignalSpy partsCreated(m_server.get(), &ShareServer::uploadPartCreated);
    Reply reply = curl({QStringLiteral("-T"), big, link(code) + u'/'});
    QCOMPARE(reply.status, 413);
    QVERIFY(reply.body.contains("size limit"));
    QCoreApplication::processEvents();
    QCOMPARE(partsCreated.size(), 0);
    reply = curl({QStringLiteral("-H"), QStringLiteral("Transfer-Encoding: chunked"), QStringLiteral("-T"),
                  big, link(code) + u'/'});
    QCOMPARE(reply.status, 413);
    QCOMPARE(entriesOf(m_folder), QStringList());
    // What a refused upload had written no longer counts against the limit.
    QCOMPARE(curl({QStringLiteral("-T"), small, link(code) + u'/'}).status, 201);

    // Too little free space: told before writing, and found while writing.
    floor = Always;
    reply = curl({QStringLiteral("-T"), small, link(code) + QStringLiteral("/full.bin")});
    QCOMPARE(reply.status, 507);
    QVERIFY(reply.body.contains("free space"));
    QCOMPARE(failed.size(), 0);
    // Big enough that part of it reaches the disk before the end: writes are gathered in memory.
    floor = AfterSomeBytes;
    const QString medium = m_dir->filePath(QStringLiteral("medium.bin"));
    writeFile(medium, pattern(180 * 1024));
    reply = curl({QStringLiteral("-H"), QStringLiteral("Transfer-Encoding: chunked"), QStringLiteral("-T"),
                  medium, link(code) + QStringLiteral("/full.bin")});
    QCOMPARE(reply.status, 507);
    QTRY_COMPARE(failed.size(), 1);
    QCOMPARE(failed[0][1].toString(), QStringLiteral("full.bin"));
    // A browser without scripts is told on a page in its language, with the way back.
    reply = curl({QStringLiteral("-H"), QStringLiteral("Accept: text/html"), QStringLiteral("-H"),
                  QStringLiteral("Accept-Language: en"), QStringLiteral("-F"),
                  QStringLiteral("file=@%1;filename=full.bin").arg(medium), link(code)});
    QCOMPARE(reply.status, 507);
    QVERIFY2(reply.body.contains("<html lang=\"en\"") && reply.body.contains("free space") &&
                 !reply.body.contains("空き") && reply.body.contains("href=\"/u/" + code.toLatin1() + "\""),
             reply.body.constData());
    QTRY_COMPARE(failed.size(), 2);
    floor = None;
    QCOMPARE(entriesOf(m_folder), QStringList{QStringLiteral("small.bin")});

    // Another address than the one allowed.
    reply = curl({QStringLiteral("--interface"), QStringLiteral("127.0.0.2"), QStringLiteral("-T"), small,
                  link(code) + u'/'});
    QCOMPARE(reply.status, 403);

    // Closed while an upload runs: it stops, its .part goes, and the link answers 410 from then on.
    QProcess slow;
    slow.start(QStringLiteral("curl"),
               {QStringLiteral("-sS"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                QStringLiteral("-w"), QStringLiteral("%{http_code}"), QStringLiteral("-T"),
                QStringLiteral("-"), link(code) + QStringLiteral("/slow.bin")});
    QVERIFY(slow.waitForStarted());
    slow.write(pattern(32 * 1024));
    QTRY_VERIFY_WITH_TIMEOUT(entriesOf(m_folder).contains(QStringLiteral("slow.bin.part")), 10000);
    m_registry->stop(code);
    QCOMPARE(entriesOf(m_folder), QStringList{QStringLiteral("small.bin")});
    // Somebody else's file under the freed name is not the upload's to remove.
    const QString theirs = m_folder + QStringLiteral("/slow.bin.part");
    writeFile(theirs, "theirs");
    slow.write(pattern(32 * 1024));
    slow.closeWriteChannel();
    QVERIFY(slow.waitForFinished(20000));
    QCOMPARE(slow.readAllStandardOutput(), QByteArray("410"));
    QCOMPARE(bytesOf(theirs), QByteArray("theirs"));
    QVERIFY(QFile::remove(theirs));
    QCOMPARE(entriesOf(m_folder), QStringList{QStringLiteral("small.bin")});
    QCOMPARE(curl({QStringLiteral("-T"), small, link(code) + u'/'}).status, 410);

    // Wrong codes are guesses, counted with those under /f/.
    const QString wrong = link(QStringLiteral("ABCDEFGHJK"));
    for (int i = 0; i < 10; ++i) {
        QCOMPARE(curl({QStringLiteral("--interface"), QStringLiteral("127.0.0.3"), QStringLiteral("-T"),
                       small, wrong + u'/'})
                     .status,
                 404);
    }
    QCOMPARE(curl({QStringLiteral("--interface"), QStringLiteral("127.0.0.3"), wrong}).status, 429);
    QCOMPARE(entriesOf(m_folder), QStringList{QStringLiteral("small.bin")});
}

// A real full disk, a tmpfs of 1 MiB in a mount namespace of the test's own (gone with it): the
// upload stops with 507, its .part goes, the receiver is told, and the space is free again.
void TestDropPoints::aDiskThatFillsStopsTheUpload()
{
    if (::geteuid() != 0)
        QSKIP("mounting a small tmpfs needs root");
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        QSKIP("no mount namespace of our own here");
    const QString small = m_dir->filePath(QStringLiteral("small"));
    QVERIFY(QDir().mkpath(small));
    QCOMPARE(::mount("tmpfs", QFile::encodeName(small).constData(), "tmpfs", 0, "size=1m"), 0);
    const auto unmount = qScopeGuard([&] { ::umount2(QFile::encodeName(small).constData(), MNT_DETACH); });

    // No floor at all: the writes themselves run into the full disk.
    startServer([](qint64) { return -(qint64(1) << 60); });
    QSignalSpy failed(m_registry.get(), &DropPointRegistry::uploadFailed);
    const QString code =
        std::get<DropPointEntry>(m_registry->open(small, ShareLifetime::OneHour, {}, {})).code;
    const QString big = m_dir->filePath(QStringLiteral("big.bin"));
    writeFile(big, pattern(2 * 1024 * 1024));
    const Reply reply = curl({QStringLiteral("-H"), QStringLiteral("Transfer-Encoding: chunked"),
                              QStringLiteral("-T"), big, link(code) + u'/'});
    QCOMPARE(reply.status, 507);
    QTRY_COMPARE(failed.size(), 1);
    QCOMPARE(failed[0][1].toString(), QStringLiteral("big.bin"));
    QCOMPARE(entriesOf(small), QStringList());

    const QString half = m_dir->filePath(QStringLiteral("half.bin"));
    writeFile(half, pattern(512 * 1024));
    QCOMPARE(curl({QStringLiteral("-T"), half, link(code) + u'/'}).status, 201);
    QCOMPARE(bytesOf(small + QStringLiteral("/half.bin")), pattern(512 * 1024));
}

// Drop points and what they received are kept in the store; an ended one takes its unfinished
// .part files with it, but only files that are still the ones the upload created.
void TestDropPoints::registryKeepsDropPointsAcrossARestartAndClearsLeftovers()
{
    const QString database = m_dir->filePath(QStringLiteral("history.sqlite"));
    QString kept;
    {
        DropPointStore store;
        QCOMPARE(store.open(database, 2425), QString());
        DropPointTable table;
        DropPointRegistry registry(&store, table, m_scheduler, m_now);
        registry.start();
        kept = std::get<DropPointEntry>(registry.open(m_folder, ShareLifetime::OneHour,
                                                      {QStringLiteral("10.1.2.3")}, QStringLiteral("Aoi"),
                                                      12345))
                   .code;
        registry.open(m_folder, ShareLifetime::UntilEnd, {}, QStringLiteral("Aoi"));
        registry.receive({kept, QStringLiteral("a.txt"), m_folder + QStringLiteral("/a.txt"), 3,
                          QByteArray(32, 'x'), QStringLiteral("10.1.2.3"), m_now()});
        // The program ends in a crash with one upload under way; another had completed.
        for (const QString &name : {QStringLiteral("crashed.bin.part"), QStringLiteral("done.bin.part")}) {
            const QString path = m_folder + u'/' + name;
            writeFile(path, "partial");
            struct stat status = {};
            QCOMPARE(::stat(QFile::encodeName(path).constData(), &status), 0);
            registry.partCreated(kept, path, quint64(status.st_dev), quint64(status.st_ino));
        }
        registry.partGone(m_folder + QStringLiteral("/done.bin.part"));
        QVERIFY(std::holds_alternative<QString>(
            registry.open(m_dir->filePath(QStringLiteral("missing")), ShareLifetime::OneHour, {}, {})));
    }

    DropPointStore store;
    QCOMPARE(store.open(database, 2425), QString());
    DropPointTable table;
    DropPointRegistry registry(&store, table, m_scheduler, m_now);
    registry.start();
    QCOMPARE(registry.count(), 1);
    QVERIFY(!QFileInfo::exists(m_folder + QStringLiteral("/crashed.bin.part")));
    QVERIFY(QFileInfo::exists(m_folder + QStringLiteral("/done.bin.part")));
    const DropPointEntry entry = registry.list().value(0);
    QCOMPARE(entry.code, kept);
    QCOMPARE(entry.senders, QStringList{QStringLiteral("10.1.2.3")});
    QCOMPARE(entry.sizeLimit, 12345);
    QVERIFY(table.find(kept));
    QCOMPARE(registry.received(kept).size(), 1);
    QCOMPARE(registry.received(kept)[0].name, QStringLiteral("a.txt"));
    // Another instance on the same file sees none of them.
    {
        DropPointStore otherStore;
        QCOMPARE(otherStore.open(database, 2426), QString());
        DropPointTable otherTable;
        DropPointRegistry other(&otherStore, otherTable, m_scheduler, m_now);
        other.start();
        QCOMPARE(other.count(), 0);
    }

    // Two uploads stalled mid-way; the second .part was replaced by somebody else's file since.
    const auto part = [&](const QString &name) {
        const QString path = m_folder + u'/' + name;
        writeFile(path, "partial");
        struct stat status = {};
        ::stat(QFile::encodeName(path).constData(), &status);
        table.addPart(kept, {0, path, quint64(status.st_dev), quint64(status.st_ino)});
        return path;
    };
    const QString stalled = part(QStringLiteral("stalled.bin.part"));
    const QString replaced = part(QStringLiteral("replaced.bin.part"));
    const QString theirs = m_dir->filePath(QStringLiteral("theirs"));
    writeFile(theirs, "not ours");
    QCOMPARE(::rename(QFile::encodeName(theirs).constData(), QFile::encodeName(replaced).constData()), 0);
    QSignalSpy ended(&registry, &DropPointRegistry::ended);
    m_scheduler.advance(int(hourMs) - 1);
    QCOMPARE(ended.size(), 0);
    QVERIFY(QFileInfo::exists(stalled));
    m_scheduler.advance(1);
    QCOMPARE(ended.size(), 1);
    QCOMPARE(ended[0][0].toString(), kept);
    QVERIFY(!QFileInfo::exists(stalled));
    QCOMPARE(bytesOf(replaced), QByteArray("not ours"));
    QVERIFY(table.ended(kept) && !table.find(kept));

    DropPointTable thirdTable;
    DropPointRegistry third(&store, thirdTable, m_scheduler, m_now);
    third.start();
    QCOMPARE(third.count(), 0);
    // With no drop point open the history's file is not held.
    QCOMPARE(OpenFiles::descriptorsOn(database), 0);
}

// What the transfers window lists: an upload while its .part is there, none once the drop point
// has ended, also for a .part described only after the end took it.
void TestDropPoints::runningUploadsEndWithTheirDropPoint()
{
    DropPointTable table;
    DropPointEntry entry;
    entry.code = QStringLiteral("K7QXM2PDA9");
    entry.folder = m_folder;
    table.put(entry);
    const quint64 first = table.addPart(entry.code, {0, m_folder + QStringLiteral("/a.part"), 1, 2});
    const quint64 late = table.addPart(entry.code, {0, m_folder + QStringLiteral("/b.part"), 1, 3});
    table.describeUpload({first, entry.code, QStringLiteral("a"), QStringLiteral("127.0.0.2"), 0, 10});
    table.wrote(first, 4);
    table.wrote(late, 7);
    QCOMPARE(table.uploads().size(), 1);
    QCOMPARE(table.uploads()[0].written, 4);
    QCOMPARE(table.uploads()[0].address, QStringLiteral("127.0.0.2"));
    QCOMPARE(table.end(entry.code).size(), 2);
    QVERIFY(table.uploads().isEmpty());
    table.describeUpload({late, entry.code, QStringLiteral("b"), QStringLiteral("127.0.0.2"), 0, -1});
    QVERIFY(table.uploads().isEmpty());
}

QTEST_GUILESS_MAIN(TestDropPoints)
#include "tst_droppoints.moc"

// A resumable upload: created empty, appended in parts, a PATCH cut off mid-way, the offset asked
// and only the rest sent; once in one run, once with the receiver restarted between the halves
// over the same history file. The refusals on the way leave the resource as it was.
void TestDropPoints::resumableUploadsGoOnAfterABreakAndARestart()
{
    const QString database = m_dir->filePath(QStringLiteral("history.sqlite"));
    auto store = std::make_unique<DropPointStore>();
    QCOMPARE(store->open(database), QString());
    m_registry = std::make_unique<DropPointRegistry>(store.get(), *m_table, m_scheduler, m_now);
    m_registry->start();
    startServer();
    const qint64 limit = 2 * 1024 * 1024;
    const QString code = std::get<DropPointEntry>(m_registry->open(m_folder, ShareLifetime::OneHour, {},
                                                                   QStringLiteral("Aoi"), limit))
                             .code;
    // The server listens on another port after the restart.
    const auto here = [this](const QByteArray &location) {
        return QStringLiteral("http://127.0.0.1:%1").arg(m_server->port()) + QString::fromLatin1(location);
    };
    const QByteArray whole = pattern(600 * 1024, 5);
    const qint64 half = whole.size() / 2;
    const QString digest =
        QString::fromLatin1(QCryptographicHash::hash(whole, QCryptographicHash::Sha256).toHex());
    const auto bodyFile = [&](qint64 from, qint64 to) {
        const QString path = m_dir->filePath(QStringLiteral("slice-%1-%2").arg(from).arg(to));
        writeFile(path, whole.mid(from, to - from));
        return path;
    };
    const QStringList named{
        QStringLiteral("-H"),
        QStringLiteral("Content-Disposition: attachment; filename*=UTF-8''%E5%A0%B1%E5%91%8A.bin")};
    const auto create = [&](qint64 length) {
        return curl(QStringList{QStringLiteral("-X"), QStringLiteral("POST"), QStringLiteral("-H"),
                                QStringLiteral("Upload-Complete: ?0"), QStringLiteral("-H"),
                                QStringLiteral("Upload-Length: %1").arg(length),
                                QStringLiteral("--data-binary"), QStringLiteral("@") + bodyFile(0, 0)} +
                    named + QStringList{link(code)});
    };
    const auto patch = [&](const QString &url, qint64 offset, qint64 to, bool complete) {
        return curl({QStringLiteral("-X"), QStringLiteral("PATCH"), QStringLiteral("-H"),
                     QStringLiteral("Content-Type: application/partial-upload"), QStringLiteral("-H"),
                     QStringLiteral("Upload-Offset: %1").arg(offset), QStringLiteral("-H"),
                     QStringLiteral("Upload-Complete: ?%1").arg(complete ? 1 : 0), QStringLiteral("-H"),
                     QStringLiteral("Accept: application/json"), QStringLiteral("--data-binary"),
                     QStringLiteral("@") + bodyFile(offset, to), url});
    };
    const auto head = [&](const QString &url) { return curl({QStringLiteral("-I"), url}); };
    // A PATCH from `from` announcing the rest, that stops sending once the receiver has written a
    // quarter more.
    const auto stall = [&](const QString &url, qint64 from, QTcpSocket &socket) {
        const QUrl target(url);
        socket.connectToHost(QHostAddress::LocalHost, quint16(target.port()));
        QVERIFY(socket.waitForConnected(10000));
        socket.write("PATCH " + target.path().toLatin1() +
                     " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/partial-upload\r\n"
                     "Upload-Complete: ?1\r\nUpload-Offset: " +
                     QByteArray::number(from) +
                     "\r\nContent-Length: " + QByteArray::number(whole.size() - from) + "\r\n\r\n" +
                     whole.mid(from, whole.size() / 4));
        QTRY_VERIFY_WITH_TIMEOUT(!m_table->uploads().isEmpty() &&
                                     m_table->uploads().constLast().written == from + whole.size() / 4,
                                 10000);
    };

    // The limits, told before an upload is created, with a refusal by them, and on each upload.
    const QByteArray limits = "max-size=2097152, max-age=3600";
    const Reply options = curl({QStringLiteral("-X"), QStringLiteral("OPTIONS"), link(code)});
    QCOMPARE(options.status, 204);
    QCOMPARE(options.field("Accept-Patch"), QByteArray("application/partial-upload"));
    QCOMPARE(options.field("Upload-Limit"), limits);
    // Over the limit by its Upload-Length: refused before a byte is written.
    const Reply tooLarge = create(limit + 1);
    QCOMPARE(tooLarge.status, 413);
    QCOMPARE(tooLarge.field("Upload-Limit"), limits);
    QCOMPARE(entriesOf(m_folder), QStringList());

    for (const bool restart : {false, true}) {
        QSignalSpy saved(m_server.get(), &ShareServer::uploadResumableSaved);
        const Reply created = create(whole.size());
        QCOMPARE(created.status, 201);
        QCOMPARE(created.field("Upload-Offset"), QByteArray("0"));
        QCOMPARE(created.field("Upload-Limit"), limits);
        const QByteArray location = created.field("Location");
        const QString url = here(location);
        QVERIFY2(location.startsWith("/u/" + code.toLatin1() + "/r/"), location.constData());
        QVERIFY(entriesOf(m_folder).contains(restart ? QStringLiteral("報告 (1).bin.part")
                                                     : QStringLiteral("報告.bin.part")));

        Reply appended = patch(url, 0, half, false);
        QCOMPARE(appended.status, 204);
        QCOMPARE(appended.field("Upload-Offset"), QByteArray::number(half));
        const Reply wrong = patch(url, 0, half, false);
        QCOMPARE(wrong.status, 409);
        QCOMPARE(wrong.field("Upload-Offset"), QByteArray::number(half));
        QTcpSocket sender;
        stall(url, half, sender);
        const qint64 held = half + whole.size() / 4;
        if (!restart) {
            // Its connection left open, as by a laptop gone to sleep: asking for the offset ends that
            // request at once, rather than after the idle timeout, and tells what it left.
            const Reply asked = head(url);
            QCOMPARE(asked.status, 204);
            QCOMPARE(asked.field("Upload-Offset"), QByteArray::number(held));
            QTRY_COMPARE(sender.state(), QAbstractSocket::UnconnectedState);
        } else {
            sender.abort();
        }
        // The offset is recorded once the ended request has synced what it wrote.
        QTRY_VERIFY_WITH_TIMEOUT(
            !saved.isEmpty() && saved.constLast()[0].value<ResumableUpload>().offset == held, 10000);

        if (restart) {
            m_server.reset();
            m_registry.reset();
            store.reset();
            m_table = std::make_unique<DropPointTable>();
            store = std::make_unique<DropPointStore>();
            QCOMPARE(store->open(database), QString());
            m_registry = std::make_unique<DropPointRegistry>(store.get(), *m_table, m_scheduler, m_now);
            m_registry->start();
            startServer();
        }
        // Listed as waiting for its sender, with what it holds, before any request and after a restart.
        const auto listed = m_table->uploads();
        QCOMPARE(listed.size(), 1);
        QVERIFY(listed[0].waiting);
        QCOMPARE(listed[0].written, held);
        QCOMPARE(listed[0].total, whole.size());
        QCOMPARE(listed[0].name, QStringLiteral("報告.bin"));
        const QString resumed = here(location);
        Reply asked = head(resumed);
        QCOMPARE(asked.status, 204);
        QCOMPARE(asked.field("Upload-Offset"), QByteArray::number(held));
        QCOMPARE(asked.field("Upload-Complete"), QByteArray("?0"));
        QCOMPARE(asked.field("Upload-Length"), QByteArray::number(whole.size()));
        QCOMPARE(asked.field("Cache-Control"), QByteArray("no-store"));
        QCOMPARE(asked.field("Upload-Limit"), limits);
        // Only its creator may ask or append; a wrong token is a guess.
        QCOMPARE(
            curl({QStringLiteral("--interface"), QStringLiteral("127.0.0.2"), QStringLiteral("-I"), resumed})
                .status,
            403);
        QCOMPARE(head(resumed.chopped(1) + (resumed.endsWith(u'Z') ? u'Y' : u'Z')).status, 404);

        const Reply finished = patch(resumed, held, whole.size(), true);
        QCOMPARE(finished.status, 201);
        QCOMPARE(finished.uploaded, whole.size() - held);
        const QJsonObject result = QJsonDocument::fromJson(finished.body).object();
        const QString name = restart ? QStringLiteral("報告 (1).bin") : QStringLiteral("報告.bin");
        QCOMPARE(result.value(QStringLiteral("name")).toString(), name);
        QCOMPARE(result.value(QStringLiteral("size")).toInteger(), whole.size());
        QCOMPARE(result.value(QStringLiteral("sha256")).toString(), digest);
        QCOMPARE(bytesOf(m_folder + u'/' + name), whole);
        QCOMPARE(head(resumed).status, 404);
        QVERIFY(m_table->uploads().isEmpty());
    }
    QCOMPARE(entriesOf(m_folder), (QStringList{QStringLiteral("報告 (1).bin"), QStringLiteral("報告.bin")}));
    QCOMPARE(m_server->throttledAddresses(), 1);

    // Cancelled while a request still appends to it, and ended with its drop point.
    const QString cancelled = here(create(whole.size()).field("Location"));
    QTcpSocket appending;
    stall(cancelled, 0, appending);
    QCOMPARE(curl({QStringLiteral("-X"), QStringLiteral("DELETE"), cancelled}).status, 204);
    QTRY_COMPARE(appending.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(m_table->uploads().isEmpty());
    QCOMPARE(entriesOf(m_folder).size(), 2);
    const Reply ending = create(10);
    const QString endingUrl = here(ending.field("Location"));
    QCOMPARE(entriesOf(m_folder).size(), 3);
    m_registry->stop(code);
    QCOMPARE(entriesOf(m_folder).size(), 2);
    QCOMPARE(head(endingUrl).status, 410);
}

// The page for browsers: Japanese unless the browser ranks English higher, the time left, real
// labels and a live region, and only the script and style sheet of its own origin, since the
// Content-Security-Policy refuses anything inline. Nothing else under the code answers a GET.
void TestDropPoints::thePageSpeaksTheBrowsersLanguageAndRunsNothingInline()
{
    QVERIFY(!UploadPage::prefersEnglish(""));
    QVERIFY(!UploadPage::prefersEnglish("ja,en-US;q=0.9,en;q=0.8"));
    QVERIFY(!UploadPage::prefersEnglish("de, ja;q=0.5, en;q=0.4"));
    QVERIFY(!UploadPage::prefersEnglish("en;q=0"));
    QVERIFY(UploadPage::prefersEnglish("en-US,en;q=0.9,ja;q=0.8"));
    QVERIFY(UploadPage::prefersEnglish("EN-gb"));
    QVERIFY(UploadPage::prefersEnglish("ja;q=0.3, en-GB;q=0.7"));

    startServer();
    const DropPointEntry entry = std::get<DropPointEntry>(m_registry->open(
        m_folder, ShareLifetime::OneHour, {}, QStringLiteral("Aoi {{left}} <script>alert(1)</script>")));
    m_scheduler.advance(25 * 60 * 1000);
    const QStringList english{QStringLiteral("-H"),
                              QStringLiteral("Accept-Language: en-US,en;q=0.9,ja;q=0.5")};
    for (const bool inEnglish : {false, true}) {
        const Reply page = curl((inEnglish ? english : QStringList()) + QStringList{link(entry.code)});
        QCOMPARE(page.status, 200);
        QVERIFY(page.field("Content-Type").startsWith("text/html"));
        QCOMPARE(page.field("Content-Security-Policy"), QByteArray("default-src 'self'"));
        const QString html = QString::fromUtf8(page.body);
        QVERIFY2(html.contains(inEnglish ? QStringLiteral("<html lang=\"en\">")
                                         : QStringLiteral("<html lang=\"ja\">")),
                 page.body.constData());
        QVERIFY(html.contains(inEnglish ? QStringLiteral("35 min left") : QStringLiteral("あと 35 分")));
        QVERIFY(html.contains(QStringLiteral("Aoi {{left}} &lt;script&gt;alert(1)&lt;/script&gt;")));
        QVERIFY(html.contains(QStringLiteral("<label for=\"files\">")) &&
                html.contains(QStringLiteral("id=\"files\"")));
        QVERIFY(html.contains(QStringLiteral("aria-live=\"polite\"")));
        QVERIFY(html.contains(QStringLiteral("enctype=\"multipart/form-data\"")));
        // Every script is loaded from the page's own origin; no style or handler is inline.
        const QString js = QStringLiteral("/u/%1/page.js").arg(entry.code);
        const QString css = QStringLiteral("/u/%1/page.css").arg(entry.code);
        QCOMPARE(html.count(QStringLiteral("<script")),
                 html.count(QStringLiteral("<script src=\"%1\"").arg(js)));
        QVERIFY(html.contains(QStringLiteral("<link rel=\"stylesheet\" href=\"%1\">").arg(css)));
        QVERIFY(!html.contains(QStringLiteral("<style")));
        QVERIFY(!html.contains(QRegularExpression(QStringLiteral("\\s(style|on[a-z]+)="))));

        for (const auto &[path, type] :
             {std::pair{js, QByteArray("text/javascript")}, std::pair{css, QByteArray("text/css")}}) {
            const Reply asset =
                curl({QStringLiteral("http://127.0.0.1:%1%2").arg(m_server->port()).arg(path)});
            QCOMPARE(asset.status, 200);
            QVERIFY(asset.field("Content-Type").startsWith(type));
            QCOMPARE(asset.field("X-Content-Type-Options"), QByteArray("nosniff"));
            QVERIFY(asset.body.size() > 500);
        }
    }
    QVERIFY(
        curl({link(entry.code) + QStringLiteral("/page.js")}).body.contains("application/partial-upload"));
    QCOMPARE(curl({link(entry.code) + QStringLiteral("/report.pdf")}).status, 404);
    QCOMPARE(curl({link(entry.code) + QStringLiteral("/")}).status, 404);
    // The code was right: not a guess.
    QCOMPARE(m_server->throttledAddresses(), 0);
}
