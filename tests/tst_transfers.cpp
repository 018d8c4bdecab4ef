#include "manualscheduler.h"
#include "openfiles.h"
#include "randombytes.h"
#include "share/downloadstore.h"
#include "share/httpfields.h"
#include "share/safefilename.h"
#include "share/sha256.h"
#include "share/transfers.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <map>
#include <sys/mount.h>
#include <unistd.h>

namespace {

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// How nginx serves one file under /f/NAME.
struct Served
{
    QByteArray digestHeader;     // Repr-Digest sent with every answer; empty: none
    QByteArray headDigestHeader; // sent with HEAD answers only
    QByteArray rate = "0";       // limit_rate; "0": unlimited
    int status = 0;              // answer this status instead of the file
};

// A real HTTP server on loopback, started and removed by the test: it speaks Range and If-Range
// as any server a user might point the program at.
class Nginx
{
public:
    explicit Nginx(const QString &dir) : m_dir(dir)
    {
        QDir(m_dir).mkpath(QStringLiteral("www/f"));
        QDir(m_dir).mkpath(QStringLiteral("tmp"));
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        m_port = probe.serverPort();
    }
    ~Nginx() { stop(); }

    QString wwwFile(const QString &name) const { return m_dir + QStringLiteral("/www/f/") + name; }
    QUrl url(const QString &name) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/f/%2").arg(m_port).arg(name));
    }
    std::map<QString, Served> files;

    bool start()
    {
        QByteArray locations;
        for (const auto &[name, served] : files) {
            locations += "location = /f/" + name.toUtf8() + " { limit_rate " + served.rate + "; ";
            if (served.status)
                locations += "return " + QByteArray::number(served.status) + "; ";
            if (!served.digestHeader.isEmpty())
                locations += "add_header Repr-Digest \"" + served.digestHeader + "\" always; ";
            if (!served.headDigestHeader.isEmpty())
                locations += "if ($request_method = HEAD) { add_header Repr-Digest \"" +
                             served.headDigestHeader + "\" always; } ";
            locations += "}\n";
        }
        const QByteArray dir = QFile::encodeName(m_dir);
        const QByteArray config = "daemon off; master_process off; worker_processes 1;\n"
                                  "pid " +
                                  dir + "/nginx.pid;\nerror_log " + dir +
                                  "/error.log info;\n"
                                  "events { worker_connections 64; }\n"
                                  "http {\n"
                                  "log_format ranges '$status $request_method $uri \"$http_range\" "
                                  "\"$http_if_range\" $body_bytes_sent';\n"
                                  "access_log " +
                                  dir +
                                  "/access.log ranges;\n"
                                  "client_body_temp_path " +
                                  dir + "/tmp; proxy_temp_path " + dir +
                                  "/tmp;\n"
                                  "fastcgi_temp_path " +
                                  dir + "/tmp; uwsgi_temp_path " + dir +
                                  "/tmp;\n"
                                  "scgi_temp_path " +
                                  dir +
                                  "/tmp;\n"
                                  "default_type application/octet-stream; etag on; sendfile on;\n"
                                  "server { listen 127.0.0.1:" +
                                  QByteArray::number(m_port) +
                                  ";\n"
                                  "root " +
                                  dir + "/www;\n" + locations + "}\n}\n";
        if (!writeFile(m_dir + QStringLiteral("/nginx.conf"), config))
            return false;
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::ForwardedChannels);
        m_process->start(
            QStringLiteral("/usr/sbin/nginx"),
            {QStringLiteral("-p"), m_dir, QStringLiteral("-c"), m_dir + QStringLiteral("/nginx.conf")});
        if (!m_process->waitForStarted(10000))
            return false;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 20000 && m_process->state() == QProcess::Running) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            if (socket.waitForConnected(200))
                return true;
            QTest::qWait(20);
        }
        qWarning().noquote() << bytesOf(m_dir + QStringLiteral("/error.log"));
        return false;
    }

    // Gone at once, as a sender whose machine was switched off: no goodbye on the connection.
    void stop()
    {
        if (!m_process)
            return;
        m_process->kill();
        m_process->waitForFinished(10000);
        m_process.reset();
    }

    QList<QByteArray> accessLog() const { return bytesOf(m_dir + QStringLiteral("/access.log")).split('\n'); }
    // Whether a line of the access log starts with prefix.
    bool logged(const QByteArray &prefix) const
    {
        const QList<QByteArray> lines = accessLog();
        return std::any_of(lines.cbegin(), lines.cend(),
                           [&](const QByteArray &line) { return line.startsWith(prefix); });
    }

private:
    QString m_dir;
    quint16 m_port = 0;
    std::unique_ptr<QProcess> m_process;
};

QByteArray digestHeader(const QByteArray &bytes)
{
    return "sha-256=:" + sha256(bytes).toBase64() + ':';
}

qint64 realNow()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

class TestTransfers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void headerFields_data();
    void headerFields();
    void numberedNames();
    void sha256Pieces_data();
    void sha256Pieces();
    void sha256OfFile();
    void storeKeepsRowsAndFallsBackToMemory();

    void wholeFile_data();
    void wholeFile();
    void shareLinkWaitsForTheDigest_data();
    void shareLinkWaitsForTheDigest();
    void resumesWhenTheSenderComesBack();
    void resumesAfterTheReceiverRestarts();
    void fileChangedBetweenPartsIsNeverMixed();
    void shareEndedIsFinal_data();
    void shareEndedIsFinal();
    void fullDiskPausesAndResumes();
    void sameNameAtOnceNeverSharesAPart();
    void proposedNameComesFromTheSender();

private:
    TransferStatus statusOf(int id) { return m_transfers->status(id).value_or(TransferStatus{}); }
    void newTransfers();
    // Starts a slow download and stops the server once about half has arrived.
    int cutHalfWay(const QString &name, const QByteArray &content, const QString &target);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Nginx> m_nginx;
    std::unique_ptr<ManualScheduler> m_scheduler;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<DownloadStore> m_store;
    std::unique_ptr<Transfers> m_transfers;
    QString m_mounted;
};

void TestTransfers::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_nginx = std::make_unique<Nginx>(m_dir->path() + QStringLiteral("/server"));
    m_scheduler = std::make_unique<ManualScheduler>();
    m_network = std::make_unique<QNetworkAccessManager>();
    m_network->setProxy(QNetworkProxy::NoProxy);
    m_store = std::make_unique<DownloadStore>(m_dir->path() + QStringLiteral("/history.sqlite"));
    QVERIFY2(m_store->problem().isEmpty(), qPrintable(m_store->problem()));
    newTransfers();
}

void TestTransfers::cleanup()
{
    m_transfers.reset();
    m_nginx.reset();
    m_network.reset();
    m_store.reset();
    m_scheduler.reset();
    if (!m_mounted.isEmpty())
        ::umount2(QFile::encodeName(m_mounted).constData(), MNT_DETACH);
    m_mounted.clear();
    m_dir.reset();
}

void TestTransfers::newTransfers()
{
    m_transfers.reset();
    m_transfers = std::make_unique<Transfers>(m_store.get(), *m_network, *m_scheduler, realNow);
}

int TestTransfers::cutHalfWay(const QString &name, const QByteArray &content, const QString &target)
{
    if (!writeFile(m_nginx->wwwFile(name), content))
        return 0;
    m_nginx->files[name] = Served{digestHeader(content), {}, "400k", 0};
    if (!m_nginx->start())
        return 0;
    const int id = m_transfers->start(m_nginx->url(name), target);
    QElapsedTimer waited;
    waited.start();
    while (statusOf(id).received < content.size() / 3 && waited.elapsed() < 30000)
        QTest::qWait(10);
    m_nginx->stop();
    return id;
}

void TestTransfers::headerFields_data()
{
    QTest::addColumn<QByteArray>("disposition");
    QTest::addColumn<QString>("name");
    // What is left when the sender names nothing usable.
    const QString inLine = QStringLiteral("見積書_v3.xlsx");
    QTest::newRow("filename* wins over the ASCII fallback")
        << QByteArray("attachment; filename=\"_.xlsx\"; filename*=UTF-8''%E8%A6%8B%E7%A9%8D%E6%9B%B8.xlsx")
        << QStringLiteral("見積書.xlsx");
    QTest::newRow("filename* first in the header")
        << QByteArray("attachment; filename*=utf-8''a%20b.txt; filename=\"x.txt\"")
        << QStringLiteral("a b.txt");
    QTest::newRow("quoted name holding a semicolon")
        << QByteArray("attachment; filename=\"a;b.txt\"") << QStringLiteral("a;b.txt");
    QTest::newRow("folders from the sender are dropped, no hidden file")
        << QByteArray("attachment; filename*=UTF-8''..%2F..%2F.bashrc") << QStringLiteral("bashrc");
    QTest::newRow("dot-dot alone names nothing") << QByteArray("attachment; filename=\"..\"") << inLine;
    QTest::newRow("Latin-1") << QByteArray("attachment; filename*=iso-8859-1''caf%E9.txt")
                             << QStringLiteral("café.txt");
    QTest::newRow("no name") << QByteArray("inline") << inLine;
}

void TestTransfers::headerFields()
{
    QFETCH(QByteArray, disposition);
    QFETCH(QString, name);
    const QUrl url(QStringLiteral("http://198.18.0.11:50012/f/K7QXM2PDA9"));
    QCOMPARE(Transfers::nameToPropose(disposition, QStringLiteral("見積書_v3.xlsx"), url), name);
    // Neither the sender nor the line leaves a name: the link's code does.
    QCOMPARE(Transfers::nameToPropose("attachment; filename=\"..\"", QStringLiteral("/"), url),
             QStringLiteral("K7QXM2PDA9"));

    // Repr-Digest: only a well-formed sha-256 counts; another algorithm is no digest at all.
    const QByteArray digest = sha256("abc");
    QCOMPARE(HttpFields::parseReprDigest("sha-256=:" + digest.toBase64() + ":"), digest);
    QCOMPARE(HttpFields::parseReprDigest("sha-512=:AAAA:, sha-256=:" + digest.toBase64() + ":"), digest);
    QCOMPARE(HttpFields::parseReprDigest("sha-256=:" + digest.left(31).toBase64() + ":"), QByteArray());
    QCOMPARE(HttpFields::parseReprDigest("sha-256=" + digest.toBase64()), QByteArray());
    QCOMPARE(HttpFields::parseReprDigest("sha-512=:" + digest.toBase64() + ":"), QByteArray());

    const auto range = HttpFields::parseContentRange("bytes 100-199/1000");
    QVERIFY(range && range->range.first == 100 && range->range.last == 199 && range->length == 1000);
    QCOMPARE(HttpFields::parseContentRange("Bytes 0-9/*")->length, -1);
    QVERIFY(!HttpFields::parseContentRange("bytes 200-100/1000"));
    QVERIFY(!HttpFields::parseContentRange("bytes 0-999/999"));
    QVERIFY(!HttpFields::parseContentRange("bytes */1000")); // a 416's, never a 206's
    QVERIFY(!HttpFields::parseContentRange("bytes 0-99999999999999999999/*"));
    QVERIFY(!HttpFields::parseContentRange("bytes=0-9/10"));
}

void TestTransfers::numberedNames()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto numbered = [&](const QString &name) {
        if (!writeFile(dir.filePath(name), "x"))
            return QStringLiteral("cannot write %1").arg(name);
        return QFileInfo(SafeFileName::uniquePath(dir.path(), name)).fileName();
    };
    QCOMPARE(numbered(QStringLiteral("見積書.xlsx")), QStringLiteral("見積書 (1).xlsx"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("a.tar (1).gz")), "x"));
    QCOMPARE(numbered(QStringLiteral("a.tar.gz")), QStringLiteral("a.tar (2).gz"));
    QCOMPARE(numbered(QStringLiteral(".bashrc")), QStringLiteral(".bashrc (1)"));
    QCOMPARE(numbered(QStringLiteral("README")), QStringLiteral("README (1)"));
}

void TestTransfers::storeKeepsRowsAndFallsBackToMemory()
{
    const QString path = m_dir->path() + QStringLiteral("/other.sqlite");
    DownloadRecord record;
    record.url = QStringLiteral("http://198.18.0.11:50012/f/K7QXM2PDA9");
    record.target = QStringLiteral("/home/a/見積書.xlsx");
    record.part = record.target + QStringLiteral(".part");
    record.size = 4LL * 1024 * 1024 * 1024;
    record.etag = "\"abc\"";
    record.sha256 = sha256("x");
    record.state = QStringLiteral("waiting");
    record.startedMs = 1234;
    {
        DownloadStore store(path);
        const auto id = store.insert(record);
        QVERIFY2(id, qPrintable(store.lastError()));
        record.id = *id;
        // Let go while nothing runs, opened again by the next read.
        store.release();
        QCOMPARE(OpenFiles::descriptorsOn(path), 0);
        QCOMPARE(store.all().size(), 1);
    }
    {
        // Another instance of the user (another chat port) on the same file never resumes it.
        DownloadStore other(path, 1001);
        QVERIFY(other.all().isEmpty());
        DownloadStore again(path);
        QCOMPARE(again.all(), QList<DownloadRecord>{record});
        QVERIFY(again.remove(record.id));
        QVERIFY(again.all().isEmpty());
    }
    // A folder that cannot hold the file: the downloads still work for this run, and it says why
    // and what to do, in words of its own, not SQLite's ("unable to open database file").
    const QString missing = m_dir->path() + QStringLiteral("/missing/folder/history.sqlite");
    DownloadStore memory(missing);
    QVERIFY2(memory.problem().contains(missing) &&
                 memory.problem().contains(QStringLiteral("書き込めるか")) &&
                 !memory.problem().contains(QStringLiteral("unable")),
             qPrintable(memory.problem()));
    QVERIFY(memory.insert(record));
    memory.release();
    QCOMPARE(memory.all().size(), 1);
}

void TestTransfers::sha256Pieces_data()
{
    QTest::addColumn<Sha256::Backend>("backend");
    QTest::newRow("libcrypto") << Sha256::Backend::Fastest;
    QTest::newRow("Qt") << Sha256::Backend::QtOnly;
}

void TestTransfers::sha256Pieces()
{
    QFETCH(Sha256::Backend, backend);
    // The test machine has libcrypto: not finding it would be a fault of the loading.
    QVERIFY(Sha256::usesLibcrypto());
    const auto hashOf = [backend](QByteArrayView bytes) {
        Sha256 hash(backend);
        hash.add(bytes);
        return hash.result().toHex();
    };
    QCOMPARE(hashOf(""), QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
    QCOMPARE(hashOf("abc"), QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    // Pieces of every length around the 64-byte block give the digest of the whole.
    const QByteArray bytes = randomBytes(300 * 1024 + 4, 3);
    Sha256 pieces(backend);
    qsizetype at = 0;
    for (qsizetype length = 0; at < bytes.size(); ++length) {
        const qsizetype n = std::min<qsizetype>(length % 131, bytes.size() - at);
        pieces.add(QByteArrayView(bytes).sliced(at, n));
        at += n;
        if (length == 70)
            QCOMPARE(pieces.result(), sha256(bytes.first(at))); // a result in between ends nothing
    }
    QCOMPARE(pieces.result(), sha256(bytes));
    QCOMPARE(pieces.result(), sha256(bytes));
    Sha256 moved(std::move(pieces));
    QCOMPARE(moved.result(), sha256(bytes));
    QCOMPARE(pieces.result(), sha256({})); // NOLINT(bugprone-use-after-move): left empty, usable
    moved.reset();
    moved.add("abc");
    QCOMPARE(moved.result(), sha256("abc"));
}

void TestTransfers::sha256OfFile()
{
    const QByteArray bytes = randomBytes(2 * 1024 * 1024 + 512 * 1024 + 8, 5);
    const QString path = m_dir->path() + QStringLiteral("/h.bin");
    QVERIFY(writeFile(path, bytes));
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    std::atomic_bool cancelled{false};
    struct Case
    {
        qint64 offset;
        qint64 length;
        qint64 expected;
    };
    // Across the 1 MiB blocks, to the end, and past the end (only what is there).
    for (const Case &c : {Case{3, 2 * 1024 * 1024 + 5, 2 * 1024 * 1024 + 5}, Case{0, -1, bytes.size()},
                          Case{1024 * 1024, -1, bytes.size() - 1024 * 1024},
                          Case{10, bytes.size(), bytes.size() - 10}, Case{bytes.size(), -1, 0}}) {
        Sha256 hash;
        hash.add("x");
        const Sha256::FileHashed hashed = hash.addFile(fd, c.offset, c.length, cancelled);
        QCOMPARE(hashed.outcome, Sha256::FileOutcome::Done);
        QCOMPARE(hashed.bytes, c.expected);
        QCOMPARE(hash.result(), sha256("x" + bytes.mid(c.offset, c.expected)));
    }
    cancelled = true;
    Sha256 stopped;
    QCOMPARE(stopped.addFile(fd, 0, -1, cancelled).outcome, Sha256::FileOutcome::Cancelled);
    ::close(fd);
    cancelled = false;
    const Sha256::FileHashed closed = stopped.addFile(fd, 0, -1, cancelled);
    QCOMPARE(closed.outcome, Sha256::FileOutcome::Failed);
    QCOMPARE(closed.error, EBADF);
}

void TestTransfers::wholeFile_data()
{
    QTest::addColumn<bool>("rightDigest");
    QTest::addColumn<bool>("digestOnlyOnHead");
    QTest::addColumn<bool>("targetExists");
    QTest::newRow("right digest") << true << false << false;
    QTest::newRow("wrong digest") << false << false << false;
    QTest::newRow("digest only from HEAD, wrong") << false << true << false;
    QTest::newRow("digest only from HEAD, right") << true << true << false;
    QTest::newRow("target exists") << true << false << true;
}

void TestTransfers::wholeFile()
{
    QFETCH(bool, rightDigest);
    QFETCH(bool, digestOnlyOnHead);
    QFETCH(bool, targetExists);
    const QByteArray content = randomBytes(3 * 1024 * 1024 + 12, 7);
    QVERIFY(writeFile(m_nginx->wwwFile(QStringLiteral("a.bin")), content));
    const QByteArray digest = digestHeader(rightDigest ? content : QByteArray("other"));
    m_nginx->files[QStringLiteral("a.bin")] =
        digestOnlyOnHead ? Served{{}, digest, "0", 0} : Served{digest, {}, "0", 0};
    QVERIFY(m_nginx->start());
    const QString target = m_dir->path() + QStringLiteral("/見積書.bin");
    if (targetExists)
        QVERIFY(writeFile(target, "mine"));

    QSignalSpy finished(m_transfers.get(), &Transfers::finished);
    QSignalSpy failed(m_transfers.get(), &Transfers::failed);
    const int id = m_transfers->start(m_nginx->url(QStringLiteral("a.bin")), target);
    QTRY_VERIFY_WITH_TIMEOUT(finished.size() + failed.size() == 1, 30000);
    QVERIFY2(!QFile::exists(target + QStringLiteral(".part")), "the .part is left behind");
    const QString numbered = m_dir->path() + QStringLiteral("/見積書 (1).bin");
    if (!rightDigest) {
        QCOMPARE(statusOf(id).state, TransferState::Failed);
        QVERIFY2(statusOf(id).reason.contains(QStringLiteral("SHA-256")), qPrintable(statusOf(id).reason));
        QVERIFY2(!QFile::exists(target), "a file that does not match took the final name");
        return;
    }
    QCOMPARE(statusOf(id).state, TransferState::Finished);
    const QString expected = targetExists ? numbered : target;
    QCOMPARE(finished.first().at(1).toString(), expected);
    QCOMPARE(statusOf(id).target, expected);
    QVERIFY2(bytesOf(expected) == content, "the saved file differs from the sender's");
    if (targetExists)
        QCOMPARE(bytesOf(target), QByteArray("mine"));
    QCOMPARE(statusOf(id).received, content.size());
    QCOMPARE(statusOf(id).total, content.size());
}

void TestTransfers::shareLinkWaitsForTheDigest_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("rightDigest");
    // A share link's sender (this program) states the digest once it has computed it.
    QTest::newRow("share link, digest comes later") << QStringLiteral("K7QXM2PDA9") << true;
    QTest::newRow("share link, wrong digest comes later") << QStringLiteral("K7QXM2PDA9") << false;
    // Any other server may never state one: the download is saved unchecked, as before.
    QTest::newRow("ordinary link without digest") << QStringLiteral("plain.bin") << true;
}

void TestTransfers::shareLinkWaitsForTheDigest()
{
    QFETCH(QString, name);
    QFETCH(bool, rightDigest);
    const bool share = name == QStringLiteral("K7QXM2PDA9");
    const QByteArray content = randomBytes(1024 * 1024 + 4, 17);
    QVERIFY(writeFile(m_nginx->wwwFile(name), content));
    m_nginx->files[name] = Served{{}, {}, "0", 0};
    QVERIFY(m_nginx->start());
    const QString target = m_dir->path() + QStringLiteral("/共有.bin");
    QSignalSpy finished(m_transfers.get(), &Transfers::finished);
    QSignalSpy failed(m_transfers.get(), &Transfers::failed);
    const int id = m_transfers->start(m_nginx->url(name), target);
    if (!share) {
        QTRY_COMPARE_WITH_TIMEOUT(statusOf(id).state, TransferState::Finished, 30000);
        QVERIFY(bytesOf(target) == content);
        return;
    }

    // Everything is there, but nothing to check it against: the .part waits under its name.
    QTRY_VERIFY_WITH_TIMEOUT(statusOf(id).state == TransferState::WaitingForSender &&
                                 statusOf(id).reason.contains(QStringLiteral("SHA-256")),
                             30000);
    QCOMPARE(statusOf(id).received, content.size());
    QCOMPARE(QFileInfo(target + QStringLiteral(".part")).size(), content.size());
    QVERIFY(!QFile::exists(target));
    const QByteArray head = "200 HEAD /f/" + name.toUtf8();
    const auto heads = [&] {
        const QList<QByteArray> lines = m_nginx->accessLog();
        return std::count_if(lines.cbegin(), lines.cend(),
                             [&](const QByteArray &l) { return l.startsWith(head); });
    };
    QCOMPARE(heads(), 1);

    // Asked again on the scheduler, still without a digest: still waiting, nothing fetched again.
    m_scheduler->advance(Transfers::retryDelays().first());
    QTRY_VERIFY_WITH_TIMEOUT(heads() == 2 && m_scheduler->activeTimerTypes().size() >= 1, 20000);
    QCOMPARE(statusOf(id).state, TransferState::WaitingForSender);
    QCOMPARE(finished.size() + failed.size(), 0);

    // Survives a restart of the receiver while waiting.
    newTransfers();
    QSignalSpy finishedAfter(m_transfers.get(), &Transfers::finished);
    QSignalSpy failedAfter(m_transfers.get(), &Transfers::failed);
    m_transfers->resumeAll();
    QTRY_VERIFY_WITH_TIMEOUT(heads() == 3 && statusOf(id).state == TransferState::WaitingForSender, 20000);

    // The sender has finished its digest.
    m_nginx->stop();
    m_nginx->files[name].digestHeader = digestHeader(rightDigest ? content : QByteArray("other"));
    QVERIFY(m_nginx->start());
    m_scheduler->advance(30000);
    QTRY_VERIFY_WITH_TIMEOUT(finishedAfter.size() + failedAfter.size() == 1, 30000);
    QVERIFY2(!QFile::exists(target + QStringLiteral(".part")), "the .part is left behind");
    if (!rightDigest) {
        QCOMPARE(statusOf(id).state, TransferState::Failed);
        QVERIFY(!QFile::exists(target));
        return;
    }
    QCOMPARE(statusOf(id).state, TransferState::Finished);
    QVERIFY(bytesOf(target) == content);
    QVERIFY2(!m_nginx->logged("206 GET"), "the whole file was fetched again");
}

void TestTransfers::resumesWhenTheSenderComesBack()
{
    const QByteArray content = randomBytes(2 * 1024 * 1024, 11);
    const QString target = m_dir->path() + QStringLiteral("/b.bin");
    const int id = cutHalfWay(QStringLiteral("b.bin"), content, target);
    QVERIFY(id > 0);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(id).state, TransferState::WaitingForSender, 20000);
    const qint64 offset = statusOf(id).received;
    QVERIFY2(offset > 0 && offset < content.size(), QByteArray::number(offset).constData());
    QCOMPARE(QFileInfo(target + QStringLiteral(".part")).size(), offset);
    const QString waitingReason = statusOf(id).reason;

    // Still away: the retry finds nobody and waits again, keeping what it has.
    m_scheduler->advance(Transfers::retryDelays().first());
    QTRY_VERIFY_WITH_TIMEOUT(statusOf(id).state == TransferState::WaitingForSender &&
                                 m_scheduler->activeTimerTypes().size() >= 1,
                             20000);
    QCOMPARE(statusOf(id).received, offset);

    m_nginx->files[QStringLiteral("b.bin")].rate = "0";
    QVERIFY(m_nginx->start());
    m_scheduler->advance(30000);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(id).state, TransferState::Finished, 30000);
    QVERIFY(sha256(bytesOf(target)) == sha256(content));
    const QByteArray ranged = "206 GET /f/b.bin \"bytes=" + QByteArray::number(offset) + "-\"";
    QVERIFY2(m_nginx->logged(ranged), m_nginx->accessLog().join('\n').constData());

    // The reasons are the program's words, never the network or C library's own (English) text.
    const auto latin = [](const QString &text) {
        return std::any_of(text.cbegin(), text.cend(),
                           [](QChar c) { return c.isLetter() && c.unicode() < 0x80; });
    };
    QVERIFY2(!latin(waitingReason), qPrintable(waitingReason));
    const int blocked =
        m_transfers->start(m_nginx->url(QStringLiteral("b.bin")), target + QStringLiteral("/x.bin"));
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(blocked).state, TransferState::Failed, 20000);
    const QString blockedReason = statusOf(blocked).reason;
    QVERIFY2(blockedReason.contains(QStringLiteral("途中の名前がフォルダーではありません")) &&
                 !latin(blockedReason),
             qPrintable(blockedReason));
}

void TestTransfers::resumesAfterTheReceiverRestarts()
{
    const QByteArray content = randomBytes(2 * 1024 * 1024, 13);
    const QString target = m_dir->path() + QStringLiteral("/c.bin");
    QVERIFY(writeFile(m_nginx->wwwFile(QStringLiteral("c.bin")), content));
    m_nginx->files[QStringLiteral("c.bin")] = Served{digestHeader(content), {}, "400k", 0};
    QVERIFY(m_nginx->start());
    const int id = m_transfers->start(m_nginx->url(QStringLiteral("c.bin")), target);
    QTRY_VERIFY_WITH_TIMEOUT(statusOf(id).received > content.size() / 3, 30000);
    m_transfers.reset();
    const qint64 offset = QFileInfo(target + QStringLiteral(".part")).size();
    QVERIFY2(offset > 0 && offset < content.size(), QByteArray::number(offset).constData());

    newTransfers();
    QSignalSpy finished(m_transfers.get(), &Transfers::finished);
    m_transfers->resumeAll();
    QCOMPARE(m_transfers->transfers().size(), 1);
    // The store's file is held while a download runs, and let go once none does.
    const QString database = m_dir->path() + QStringLiteral("/history.sqlite");
    QVERIFY(OpenFiles::descriptorsOn(database) > 0);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
    QCOMPARE(finished.first().at(0).toInt(), id);
    QCOMPARE(OpenFiles::descriptorsOn(database), 0);
    QVERIFY2(bytesOf(target) == content, "the resumed file differs from the sender's");
    const QByteArray ranged = "206 GET /f/c.bin \"bytes=" + QByteArray::number(offset) + "-\"";
    QVERIFY2(m_nginx->logged(ranged), m_nginx->accessLog().join('\n').constData());

    // Over downloads are listed after a restart too, until removed.
    newTransfers();
    m_transfers->resumeAll();
    QCOMPARE(statusOf(id).state, TransferState::Finished);
    m_transfers->remove(id);
    QVERIFY(m_store->all().isEmpty());
}

void TestTransfers::fileChangedBetweenPartsIsNeverMixed()
{
    const QByteArray before = randomBytes(2 * 1024 * 1024, 17);
    const QString target = m_dir->path() + QStringLiteral("/d.bin");
    const int id = cutHalfWay(QStringLiteral("d.bin"), before, target);
    QVERIFY(id > 0);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(id).state, TransferState::WaitingForSender, 20000);
    QVERIFY(statusOf(id).received > 0);

    // Another length, so nginx's ETag (mtime and length) changes even within the same second.
    const QByteArray after = randomBytes(2 * 1024 * 1024 + 4096, 19);
    QVERIFY(writeFile(m_nginx->wwwFile(QStringLiteral("d.bin")), after));
    m_nginx->files[QStringLiteral("d.bin")] = Served{digestHeader(after), {}, "0", 0};
    QVERIFY(m_nginx->start());
    m_scheduler->advance(30000);
    QTRY_VERIFY_WITH_TIMEOUT(
        statusOf(id).state == TransferState::Finished || statusOf(id).state == TransferState::Failed, 30000);
    QCOMPARE(statusOf(id).state, TransferState::Finished);
    QVERIFY2(bytesOf(target) == after, "the saved file is not the sender's new file");
    QVERIFY2(m_nginx->logged("200 GET /f/d.bin \"bytes="), m_nginx->accessLog().join('\n').constData());
}

void TestTransfers::shareEndedIsFinal_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("partKept");
    QTest::newRow("410 gone: the file changed") << 410 << false;
    QTest::newRow("404: the share was stopped") << 404 << true;
    QTest::newRow("403: not shared to this address") << 403 << true;
}

void TestTransfers::shareEndedIsFinal()
{
    QFETCH(int, status);
    QFETCH(bool, partKept);
    const QByteArray content = randomBytes(2 * 1024 * 1024, 23);
    const QString target = m_dir->path() + QStringLiteral("/e.bin");
    const int id = cutHalfWay(QStringLiteral("e.bin"), content, target);
    QVERIFY(id > 0);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(id).state, TransferState::WaitingForSender, 20000);

    QSignalSpy failed(m_transfers.get(), &Transfers::failed);
    m_nginx->files[QStringLiteral("e.bin")].status = status;
    QVERIFY(m_nginx->start());
    m_scheduler->advance(30000);
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 30000);
    QCOMPARE(statusOf(id).state, TransferState::Failed);
    QVERIFY(!statusOf(id).reason.isEmpty());
    QVERIFY2(!QFile::exists(target), "something took the final name");
    QCOMPARE(QFile::exists(target + QStringLiteral(".part")), partKept);
    // Final: no more attempts.
    const int requests = int(m_nginx->accessLog().size());
    m_scheduler->advance(120000);
    QTest::qWait(200);
    QCOMPARE(int(m_nginx->accessLog().size()), requests);
}

void TestTransfers::fullDiskPausesAndResumes()
{
    if (::geteuid() != 0)
        QSKIP("mounting a small tmpfs needs root");
    const QString mount = m_dir->path() + QStringLiteral("/small");
    QVERIFY(QDir().mkpath(mount));
    if (::mount("tmpfs", QFile::encodeName(mount).constData(), "tmpfs", 0, "size=1m") != 0)
        QSKIP("tmpfs cannot be mounted here");
    m_mounted = mount;
    QVERIFY(writeFile(mount + QStringLiteral("/filler"), QByteArray(700 * 1024, 'x')));

    const QByteArray content = randomBytes(600 * 1024, 29);
    QVERIFY(writeFile(m_nginx->wwwFile(QStringLiteral("f.bin")), content));
    m_nginx->files[QStringLiteral("f.bin")] = Served{digestHeader(content), {}, "0", 0};
    QVERIFY(m_nginx->start());
    const QString target = mount + QStringLiteral("/f.bin");
    const int id = m_transfers->start(m_nginx->url(QStringLiteral("f.bin")), target);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(id).state, TransferState::Paused, 30000);
    QCOMPARE(statusOf(id).reason, QStringLiteral("ディスクがいっぱいです。空きを作ると続きから再開します。"));
    const qint64 offset = QFileInfo(target + QStringLiteral(".part")).size();
    QVERIFY2(offset > 0 && offset < content.size(), QByteArray::number(offset).constData());
    QCOMPARE(statusOf(id).received, offset);

    // Still full: it keeps waiting without losing what it has.
    m_scheduler->advance(30000);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(id).state, TransferState::Paused, 20000);
    QVERIFY(QFile::exists(target + QStringLiteral(".part")));

    QVERIFY(QFile::remove(mount + QStringLiteral("/filler")));
    m_scheduler->advance(30000);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(id).state, TransferState::Finished, 30000);
    QVERIFY2(bytesOf(target) == content, "the file resumed after the disk was full differs");
    QVERIFY(!QFile::exists(target + QStringLiteral(".part")));
}

void TestTransfers::sameNameAtOnceNeverSharesAPart()
{
    const QByteArray first = randomBytes(1024 * 1024, 29);
    const QByteArray second = randomBytes(1024 * 1024 + 4, 31);
    for (const auto &[name, content] :
         {std::pair{QStringLiteral("p.bin"), first}, {QStringLiteral("q.bin"), second}}) {
        QVERIFY(writeFile(m_nginx->wwwFile(name), content));
        m_nginx->files[name] = Served{digestHeader(content), {}, "0", 0};
    }
    QVERIFY(m_nginx->start());
    const QDir dir(m_dir->path());
    // Left by something else, another program or an earlier download that failed.
    QVERIFY(writeFile(dir.filePath(QStringLiteral("他.bin.part")), "not ours"));

    QSignalSpy finished(m_transfers.get(), &Transfers::finished);
    QSignalSpy failed(m_transfers.get(), &Transfers::failed);
    const QString same = dir.filePath(QStringLiteral("同じ.bin"));
    const int a = m_transfers->start(m_nginx->url(QStringLiteral("p.bin")), same);
    const int b = m_transfers->start(m_nginx->url(QStringLiteral("q.bin")), same);
    const int c =
        m_transfers->start(m_nginx->url(QStringLiteral("p.bin")), dir.filePath(QStringLiteral("他.bin")));
    QCOMPARE(statusOf(a).target, same);
    QCOMPARE(statusOf(b).target, dir.filePath(QStringLiteral("同じ (1).bin")));
    QCOMPARE(statusOf(c).target, dir.filePath(QStringLiteral("他 (1).bin")));
    QTRY_VERIFY_WITH_TIMEOUT(finished.size() + failed.size() == 3, 30000);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(1).toString()));
    QVERIFY2(bytesOf(same) == first, "the first download's file is not its sender's");
    QVERIFY2(bytesOf(dir.filePath(QStringLiteral("同じ (1).bin"))) == second,
             "the second download's file is not its sender's");
    QVERIFY(bytesOf(dir.filePath(QStringLiteral("他 (1).bin"))) == first);
    QCOMPARE(bytesOf(dir.filePath(QStringLiteral("他.bin.part"))), QByteArray("not ours"));
    // The store keeps the names chosen, so a restart resumes into the right .part.
    QStringList stored;
    for (const DownloadRecord &record : m_store->all())
        stored << QFileInfo(record.target).fileName();
    stored.sort();
    QCOMPARE(stored, (QStringList{QStringLiteral("他 (1).bin"), QStringLiteral("同じ (1).bin"),
                                  QStringLiteral("同じ.bin")}));
}

void TestTransfers::proposedNameComesFromTheSender()
{
    QVERIFY(writeFile(m_nginx->wwwFile(QStringLiteral("g.bin")), "x"));
    QVERIFY(m_nginx->start());
    QString name;
    // nginx sends no Content-Disposition here: the name in the line is what remains.
    m_transfers->proposedName(m_nginx->url(QStringLiteral("g.bin")), QStringLiteral("見積書_v3.xlsx"),
                              [&](const QString &proposed) { name = proposed; });
    QTRY_COMPARE_WITH_TIMEOUT(name, QStringLiteral("見積書_v3.xlsx"), 20000);
    name.clear();
    m_transfers->proposedName(m_nginx->url(QStringLiteral("g.bin")), QString(),
                              [&](const QString &proposed) { name = proposed; });
    QTRY_COMPARE_WITH_TIMEOUT(name, QStringLiteral("g.bin"), 20000);
}

QTEST_GUILESS_MAIN(TestTransfers)
#include "tst_transfers.moc"
