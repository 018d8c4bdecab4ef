#include "app/settingsfile.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QString tabs(std::initializer_list<const char *> fields)
{
    QStringList list;
    for (const char *field : fields)
        list.append(QString::fromUtf8(field));
    return list.join(QLatin1Char('\t'));
}

SettingsRecord loadedFrom(const QString &line)
{
    SettingsRecord record;
    SettingsFile::setDefaults(record);
    const auto error = SettingsFile::parseLine(line, record);
    if (error)
        qWarning("unexpected failure: %s", qPrintable(*error));
    return record;
}

} // namespace

class TestSettingsFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QCoreApplication::setApplicationName(QStringLiteral("zumzum-chat")); }

    void missingFileGivesDefaultsAndWritesNothing()
    {
        QTemporaryDir dir;
        SettingsRecord record;
        record.appFolder = dir.path() + QLatin1Char('/');
        const auto result = SettingsFile::load(record, QStringLiteral("host-a"));
        QVERIFY(!result.error);
        QVERIFY(!result.fileFound);
        QCOMPARE(record.userName, QStringLiteral("host-a"));
        QCOMPARE(record.winLeft, 0);
        QCOMPARE(record.winTop, 0);
        QCOMPARE(record.winWidth, 6630);
        QCOMPARE(record.winHeight, 4455);
        QCOMPARE(record.subnetMask, QStringLiteral("255.255.255.0"));
        QCOMPARE(record.chatPort, QStringLiteral("1000"));
        QCOMPARE(record.restoreGeometry, 1);
        QVERIFY(!record.topMost);
        QVERIFY2(!QFile::exists(SettingsFile::path(record.appFolder)), "nothing is written at start-up");
    }

    void fieldCounts()
    {
        // Nine fields: the port is the default.
        SettingsRecord nine =
            loadedFrom(tabs({"abc", "0", "1", "1200", "900", "6630", "4455", "255.255.0.0", "1"}));
        QCOMPARE(nine.userName, QStringLiteral("abc"));
        QCOMPARE(nine.winLeft, 1200);
        QCOMPARE(nine.winTop, 900);
        QCOMPARE(nine.subnetMask, QStringLiteral("255.255.0.0"));
        QCOMPARE(nine.onlyNotify, qint16(1));
        QCOMPARE(nine.chatPort, QStringLiteral("1000"));

        SettingsRecord ten =
            loadedFrom(tabs({"abc", "0", "1", "0", "0", "6630", "4455", "255.255.255.0", "0", "2000"}));
        QCOMPARE(ten.chatPort, QStringLiteral("2000"));

        // Eleven and more: the extra fields are ignored and dropped at the next save.
        SettingsRecord eleven = loadedFrom(
            tabs({"abc", "0", "1", "0", "0", "6630", "4455", "255.255.255.0", "0", "2000", "x", "y"}));
        QCOMPARE(eleven.chatPort, QStringLiteral("2000"));
        QCOMPARE(SettingsFile::formatLine(eleven, {0, 0, 6630, 4455}).count(QLatin1Char('\t')), 9);
    }

    void topMostFlagAndIgnoredRestoreField_data()
    {
        QTest::addColumn<QString>("flag");
        QTest::addColumn<bool>("topMost");
        QTest::newRow("1") << QStringLiteral("1") << true;
        QTest::newRow("0") << QStringLiteral("0") << false;
        QTest::newRow("2") << QStringLiteral("2") << false;
        QTest::newRow("-1") << QStringLiteral("-1") << false;
    }

    void topMostFlagAndIgnoredRestoreField()
    {
        QFETCH(QString, flag);
        QFETCH(bool, topMost);
        SettingsRecord record = loadedFrom(
            QStringList{QStringLiteral("abc"), flag, QStringLiteral("0"), QStringLiteral("0"),
                        QStringLiteral("0"), QStringLiteral("6630"), QStringLiteral("4455"),
                        QStringLiteral("255.255.255.0"), QStringLiteral("0"), QStringLiteral("1000")}
                .join(QLatin1Char('\t')));
        QCOMPARE(record.topMost, topMost);
        QCOMPARE(record.restoreGeometry, 1);
        const QStringList saved =
            SettingsFile::formatLine(record, {0, 0, 6630, 4455}).split(QLatin1Char('\t'));
        QCOMPARE(saved.at(1), topMost ? QStringLiteral("1") : QStringLiteral("0"));
        QCOMPARE(saved.at(2), QStringLiteral("1"));
    }

    void numbersRoundHalfToEven_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value");
        QTest::newRow("12.5") << QStringLiteral("12.5") << 12;
        QTest::newRow("13.5") << QStringLiteral("13.5") << 14;
        QTest::newRow("-2.5") << QStringLiteral("-2.5") << -2;
        QTest::newRow("12.6") << QStringLiteral("12.6") << 13;
        QTest::newRow("blanks") << QStringLiteral(" 77 ") << 77;
        QTest::newRow("negative") << QStringLiteral("-300") << -300;
    }

    void numbersRoundHalfToEven()
    {
        QFETCH(QString, text);
        QFETCH(int, value);
        const auto converted = SettingsFile::toInt32(text);
        QVERIFY(converted);
        QCOMPARE(*converted, value);
    }

    void failuresKeepWhatWasTakenBefore_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("userName");
        QTest::addColumn<int>("winLeft");
        QTest::addColumn<int>("winWidth");
        QTest::addColumn<QString>("subnetMask");
        QTest::newRow("eight fields") << tabs({"abc", "0", "1", "15", "30", "600", "450", "255.0.0.0"})
                                      << QStringLiteral("abc") << 15 << 600 << QStringLiteral("255.0.0.0");
        QTest::newRow("one field") << QStringLiteral("abc") << QStringLiteral("abc") << 0 << 6630
                                   << QStringLiteral("255.255.255.0");
        QTest::newRow("width not a number")
            << tabs({"abc", "0", "1", "15", "30", "wide", "450", "255.0.0.0", "0"}) << QStringLiteral("abc")
            << 15 << 6630 << QStringLiteral("255.255.255.0");
        QTest::newRow("flag not a number")
            << tabs({"abc", "x", "1", "15", "30", "600", "450", "255.0.0.0", "0"}) << QStringLiteral("abc")
            << 0 << 6630 << QStringLiteral("255.255.255.0");
        QTest::newRow("left overflows 32 bits")
            << tabs({"abc", "0", "1", "2147483648", "30", "600", "450", "255.0.0.0", "0"})
            << QStringLiteral("abc") << 0 << 6630 << QStringLiteral("255.255.255.0");
        QTest::newRow("option overflows 16 bits")
            << tabs({"abc", "0", "1", "15", "30", "600", "450", "255.0.0.0", "40000"})
            << QStringLiteral("abc") << 15 << 600 << QStringLiteral("255.0.0.0");
        QTest::newRow("empty number")
            << tabs({"abc", "0", "1", "", "30", "600", "450", "255.0.0.0", "0"}) << QStringLiteral("abc") << 0
            << 6630 << QStringLiteral("255.255.255.0");
    }

    void failuresKeepWhatWasTakenBefore()
    {
        QFETCH(QString, line);
        QFETCH(QString, userName);
        QFETCH(int, winLeft);
        QFETCH(int, winWidth);
        QFETCH(QString, subnetMask);
        SettingsRecord record;
        SettingsFile::setDefaults(record);
        const auto error = SettingsFile::parseLine(line, record);
        QVERIFY2(error.has_value(), "a broken line must fail");
        QVERIFY(!error->isEmpty());
        QCOMPARE(record.userName, userName);
        QCOMPARE(record.winLeft, winLeft);
        QCOMPARE(record.winWidth, winWidth);
        QCOMPARE(record.subnetMask, subnetMask);
    }

    void locationDecision_data()
    {
        QTest::addColumn<bool>("writable");
        QTest::addColumn<bool>("userFile");
        QTest::addColumn<bool>("appFile");
        QTest::addColumn<QString>("readFrom");
        QTest::addColumn<QString>("savedTo");
        // Portable use: beside the program, whatever the user's folder holds.
        QTest::newRow("writable") << true << false << false << "app"
                                  << "app";
        QTest::newRow("writable, user file too") << true << true << true << "app"
                                                 << "app";
        QTest::newRow("read-only, no file") << false << false << false << "user"
                                            << "user";
        QTest::newRow("read-only, defaults beside") << false << false << true << "app"
                                                    << "user";
        QTest::newRow("read-only, user file wins") << false << true << true << "user"
                                                   << "user";
        QTest::newRow("read-only, user file only") << false << true << false << "user"
                                                   << "user";
    }

    void locationDecision()
    {
        QFETCH(bool, writable);
        QFETCH(bool, userFile);
        QFETCH(bool, appFile);
        QFETCH(QString, readFrom);
        QFETCH(QString, savedTo);
        const QString app = QStringLiteral("/usr/bin/set.txt");
        const QString user = QStringLiteral("/home/u/.config/zumzum-chat/set.txt");
        const SettingsFile::Location location =
            SettingsFile::locate({QStringLiteral("/usr/bin/"), writable,
                                  QStringLiteral("/home/u/.config/zumzum-chat"), userFile, appFile});
        QCOMPARE(location.readPath, readFrom == QLatin1String("app") ? app : user);
        QCOMPARE(location.savePath, savedTo == QLatin1String("app") ? app : user);
    }

    void writableFolderProbe()
    {
        QTemporaryDir dir;
        QVERIFY(SettingsFile::isWritableFolder(dir.path()));
        QVERIFY(!SettingsFile::isWritableFolder(dir.path() + QStringLiteral("/missing")));
        QVERIFY(SettingsFile::probeLocation(dir.path() + QLatin1Char('/')).appFolderWritable);
    }

    // A read-only program folder with an administrator's set.txt: read as the starting settings,
    // saved to the user's folder (created then), the program folder's file untouched; from then on
    // the user's file is the one read.
    void readOnlyFolderWithDefaults()
    {
        QTemporaryDir program;
        QTemporaryDir config;
        const QByteArray previous = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        const auto restore = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", previous); });
        const QString appFolder = program.path() + QLatin1Char('/');
        const QByteArray defaults = "admin\t0\t1\t0\t0\t6630\t4455\t255.255.0.0\t0\t2000\r\n";
        writeAll(SettingsFile::path(appFolder), defaults);
        const QString userFile = config.path() + QStringLiteral("/zumzum-chat/set.txt");

        // Root may write anywhere, so the folder is made read-only by the probe's answer.
        SettingsFile::LocationFacts facts = SettingsFile::probeLocation(appFolder);
        QCOMPARE(facts.userConfigFolder, config.path() + QStringLiteral("/zumzum-chat"));
        QVERIFY(facts.appFileExists);
        QVERIFY(!facts.userFileExists);
        facts.appFolderWritable = false;
        SettingsRecord record;
        record.appFolder = appFolder;
        const SettingsFile::Location location = SettingsFile::locate(facts);
        record.settingsReadPath = location.readPath;
        record.settingsSavePath = location.savePath;
        QVERIFY(!SettingsFile::load(record, QStringLiteral("host")).error);
        QCOMPARE(record.userName, QStringLiteral("admin"));
        QCOMPARE(record.chatPort, QStringLiteral("2000"));

        record.userName = QStringLiteral("mine");
        QVERIFY(!SettingsFile::save(record, {0, 0, 6630, 4455}));
        QCOMPARE(readAll(userFile), QByteArray("mine\t0\t1\t0\t0\t6630\t4455\t255.255.0.0\t0\t2000\r\n"));
        QCOMPARE(readAll(SettingsFile::path(appFolder)), defaults);

        facts = SettingsFile::probeLocation(appFolder);
        facts.appFolderWritable = false;
        QVERIFY(facts.userFileExists);
        QCOMPARE(SettingsFile::locate(facts).readPath, userFile);
        SettingsRecord again;
        again.appFolder = appFolder;
        again.settingsReadPath = SettingsFile::locate(facts).readPath;
        QVERIFY(!SettingsFile::load(again, QStringLiteral("host")).error);
        QCOMPARE(again.userName, QStringLiteral("mine"));

        // A broken file names the file that was read.
        writeAll(SettingsFile::path(appFolder), "abc\t0\r\n");
        SettingsRecord fresh;
        fresh.appFolder = appFolder;
        fresh.settingsReadPath = SettingsFile::path(appFolder);
        fresh.settingsSavePath = userFile;
        const auto broken = SettingsFile::load(fresh, QStringLiteral("host"));
        QVERIFY(broken.error);
        QVERIFY2(broken.error->contains(SettingsFile::path(appFolder)) && !broken.error->contains(userFile),
                 qPrintable(*broken.error));
    }

    void loadFailureNamesTheFileAndTheRemedy()
    {
        QTemporaryDir dir;
        SettingsRecord record;
        record.appFolder = dir.path() + QLatin1Char('/');
        writeAll(SettingsFile::path(record.appFolder), "abc\t0\t1\t0\t0\r\n");
        const auto result = SettingsFile::load(record, QStringLiteral("host"));
        QVERIFY(result.fileFound);
        QVERIFY(result.error);
        QVERIFY2(result.error->contains(SettingsFile::path(record.appFolder)), qPrintable(*result.error));
        QVERIFY(result.error->contains(QStringLiteral("9 個以上")));
    }

    // A name saved by a UTF-8 editor, or with a stray byte, must not come back as "?".
    void bytesOutsideTheCodePage_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("loaded");
        QTest::addColumn<QByteArray>("saved");
        QTest::newRow("utf-8 editor") << QByteArray("\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88")
                                      << QStringLiteral("テスト") << QByteArray::fromHex("836583588367");
        QTest::newRow("invalid in both") << QByteArray("Ta\xeb\x6f") << QString() << QByteArray();
        // Real control codes must not be taken for the substitute the converter gives invalid bytes.
        QTest::newRow("control codes")
            << QByteArray("a\x1a\x1c\x7f") << QStringLiteral("a\x1a\x1c\x7f") << QByteArray("a\x1a\x1c\x7f");
        QTest::newRow("utf-8 with control codes")
            << QByteArray("\xe3\x83\x86\x1a\x7f") << QStringLiteral("テ\x1a\x7f")
            << QByteArray("\x83\x65\x1a\x7f");
        QTest::newRow("invalid before a control code")
            << QByteArray("T\xeb\x1a") << QString() << QByteArray();
        // Hangul is UTF-8 but not code page 932: the next save would turn it into "?".
        QTest::newRow("utf-8 the code page lacks") << QByteArray("\xed\x95\x9c") << QString() << QByteArray();
    }

    void bytesOutsideTheCodePage()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, loaded);
        QFETCH(QByteArray, saved);
        QTemporaryDir dir;
        SettingsRecord record;
        record.appFolder = dir.path() + QLatin1Char('/');
        const QString path = SettingsFile::path(record.appFolder);
        const QByteArray rest = "\t0\t1\t0\t0\t6630\t4455\t255.255.255.0\t0\t1000\r\n";
        writeAll(path, name + rest);
        const auto result = SettingsFile::load(record, QStringLiteral("host"));
        if (loaded.isNull()) {
            QVERIFY(result.error);
            QVERIFY2(result.error->contains(path) && result.error->contains(QStringLiteral("1 番目")),
                     qPrintable(*result.error));
            return;
        }
        QVERIFY2(!result.error, qPrintable(result.error.value_or(QString())));
        QCOMPARE(record.userName, loaded);
        QVERIFY(!SettingsFile::save(record, {0, 0, 6630, 4455}));
        QCOMPARE(readAll(path), saved + rest);
    }

    void emptyFileFails()
    {
        QTemporaryDir dir;
        SettingsRecord record;
        record.appFolder = dir.path() + QLatin1Char('/');
        writeAll(SettingsFile::path(record.appFolder), "");
        QVERIFY(SettingsFile::load(record, QStringLiteral("host")).error);
    }

    // A device that fails while reading must be reported, not read as an empty setting.
    void unreadableDeviceFails()
    {
        QBuffer closed;
        QString line;
        QVERIFY(SettingsFile::readFirstLine(closed, line).has_value());
    }

    void portPattern_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("saved");
        QTest::newRow("1000") << QStringLiteral("1000") << QStringLiteral("1000");
        QTest::newRow("leading zero") << QStringLiteral("01000") << QStringLiteral("1000");
        QTest::newRow("zero") << QStringLiteral("0") << QString();
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("six digits kept") << QStringLiteral("123456") << QStringLiteral("123456");
        QTest::newRow("not a number") << QStringLiteral("abc") << QStringLiteral("abc");
    }

    void portPattern()
    {
        QFETCH(QString, port);
        QFETCH(QString, saved);
        QCOMPARE(SettingsFile::formatPortPattern(port), saved);
    }

    // An empty or zero port would make every later start fail until the file is repaired by hand.
    void unusablePortLoadsAsDefault_data()
    {
        QTest::addColumn<QString>("port");
        QTest::newRow("empty") << QString();
        QTest::newRow("zero") << QStringLiteral("0");
        QTest::newRow("zeros") << QStringLiteral("00000");
    }

    void unusablePortLoadsAsDefault()
    {
        QFETCH(QString, port);
        SettingsRecord record =
            loadedFrom(tabs({"abc", "0", "1", "0", "0", "6630", "4455", "255.255.255.0", "0"}) +
                       QLatin1Char('\t') + port);
        QCOMPARE(record.chatPort, QStringLiteral("1000"));
    }

    void savesTheExampleLineWithCrLf()
    {
        QTemporaryDir dir;
        SettingsRecord record;
        SettingsFile::setDefaults(record);
        record.appFolder = dir.path() + QLatin1Char('/');
        record.userName = QStringLiteral("abc");
        record.onlyNotify = 1;
        QVERIFY(!SettingsFile::save(record, {1200, 900, 6630, 4455}));
        QCOMPARE(readAll(SettingsFile::path(record.appFolder)),
                 QByteArray("abc\t0\t1\t1200\t900\t6630\t4455\t255.255.255.0\t1\t1000\r\n"));
    }

    // Names written by the Windows instances are code page 932 bytes and must survive a load and
    // a save unchanged; a second line is dropped; LF endings read the same as CR LF.
    void japaneseNameRoundTripsByteForByte_data()
    {
        QTest::addColumn<QByteArray>("lineEnd");
        QTest::newRow("CR LF") << QByteArray("\r\n");
        QTest::newRow("LF") << QByteArray("\n");
    }

    void japaneseNameRoundTripsByteForByte()
    {
        QFETCH(QByteArray, lineEnd);
        QTemporaryDir dir;
        const QString folder = dir.path() + QLatin1Char('/');
        const QByteArray line = QByteArray::fromHex("8e52936391be9859") // 山田太郎
                                + "\t1\t1\t-150\t300\t7000\t5000\t255.255.0.0\t0\t1000";
        writeAll(SettingsFile::path(folder), line + lineEnd + "second line\r\n");

        SettingsRecord record;
        record.appFolder = folder;
        const auto result = SettingsFile::load(record, QStringLiteral("host"));
        QVERIFY(!result.error);
        QCOMPARE(record.userName, QStringLiteral("山田太郎"));
        QVERIFY(record.topMost);
        QCOMPARE(record.winLeft, -150);

        QVERIFY(
            !SettingsFile::save(record, {record.winLeft, record.winTop, record.winWidth, record.winHeight}));
        QCOMPARE(readAll(SettingsFile::path(folder)).toHex(), (line + "\r\n").toHex());
    }

    // Windows saves ¥ as its best fit 5C and reads that back as a backslash.
    void bestFitIsSavedAndReadAsWindowsDoes()
    {
        QTemporaryDir dir;
        SettingsRecord record;
        SettingsFile::setDefaults(record);
        record.appFolder = dir.path() + QLatin1Char('/');
        record.userName = QStringLiteral("¥山é");
        QVERIFY(!SettingsFile::save(record, {0, 0, 6630, 4455}));
        QVERIFY(readAll(SettingsFile::path(record.appFolder))
                    .startsWith("\\\x8e\x52"
                                "e\t"));
        SettingsRecord loaded;
        loaded.appFolder = record.appFolder;
        QVERIFY(!SettingsFile::load(loaded, QStringLiteral("host")).error);
        QCOMPARE(loaded.userName, QStringLiteral("\\山e"));
    }

    void saveIntoMissingFolderReportsIt()
    {
        QTemporaryDir dir;
        SettingsRecord record;
        SettingsFile::setDefaults(record);
        record.appFolder = dir.path() + QStringLiteral("/no-such-folder/");
        const auto error = SettingsFile::save(record, {0, 0, 6630, 4455});
        QVERIFY(error);
        QVERIFY2(error->contains(QStringLiteral("no-such-folder")), qPrintable(*error));
    }

    // A write that fails half-way (full disk, file size limit) must leave the previous file whole.
    void failedWriteKeepsThePreviousFile()
    {
        QTemporaryDir dir;
        SettingsRecord record;
        SettingsFile::setDefaults(record);
        record.appFolder = dir.path() + QLatin1Char('/');
        record.userName = QStringLiteral("before");
        QVERIFY(!SettingsFile::save(record, {0, 0, 6630, 4455}));
        const QByteArray before = readAll(SettingsFile::path(record.appFolder));

        record.userName = QString(200, QLatin1Char('x'));
        rlimit original;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &original), 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = original;
        small.rlim_cur = 32;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        const auto error = SettingsFile::save(record, {0, 0, 6630, 4455});
        setrlimit(RLIMIT_FSIZE, &original);
        std::signal(SIGXFSZ, previousHandler);

        QVERIFY2(error.has_value(), "a failed write must be reported");
        QCOMPARE(readAll(SettingsFile::path(record.appFolder)), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("set.txt")});
    }
};

QTEST_GUILESS_MAIN(TestSettingsFile)
#include "tst_settingsfile.moc"
