#include "app/sharedfiles.h"
#include "lanfixture.h"
#include "lantraffic.h"
#include "net/chatsession.h"
#include "net/participants.h"
#include "openfiles.h"
#include "recordingfiledownloads.h"
#include "recordingfilesharing.h"
#include "recordingsavedialogs.h"
#include "share/droppointentry.h"
#include "share/droppointregistry.h"
#include "share/safefilename.h"
#include "share/sharelinks.h"
#include "share/shareregistry.h"
#include "share/shareserver.h"
#include "ui/announcer.h"
#include "ui/droppointdialog.h"
#include "ui/droppointlistmodel.h"
#include "ui/entrylistview.h"
#include "ui/filestrip.h"
#include "ui/form1.h"
#include "ui/participantlistview.h"
#include "ui/sharelistmodel.h"
#include "ui/shareswindow.h"
#include "ui/sharetexts.h"
#include "ui/transferlistmodel.h"
#include "ui/transferswindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QToolButton>

namespace {

QString address(int last)
{
    return QStringLiteral("198.18.0.%1").arg(last);
}

QString lastEntry(const Instance &instance)
{
    const QStringList log = instance.chatLog();
    return log.isEmpty() ? QString() : log.last();
}

QString makeFile(const QTemporaryDir &dir, const QString &name, qint64 size)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(size, 'x')) != size)
        return {};
    return path;
}

QList<QUrl> urlsOf(const QStringList &paths)
{
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls.append(QUrl::fromLocalFile(path));
    return urls;
}

void drop(QWidget *target, const QStringList &paths)
{
    QMimeData data;
    data.setUrls(urlsOf(paths));
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent dropped(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &dropped);
}

QStringList stripNames(Form1 *form)
{
    QStringList names;
    for (const FileStrip::File &file : form->fileStrip()->files())
        names.append(file.name);
    return names;
}

// Enter on the log row, as a keyboard user activates it.
void activateRow(Form1 *form, int row)
{
    EntryListView *log = form->list1();
    log->setFocus();
    log->setCurrentIndex(log->model()->index(row, 0));
    QTest::keyClick(log, Qt::Key_Return);
}

// Reads the log's context menu when it shows, and closes it.
class EntryMenuReader : public QObject
{
public:
    EntryMenuReader() { qApp->installEventFilter(this); }

    QStringList items;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *menu = qobject_cast<QMenu *>(watched);
        if (event->type() != QEvent::Show || !menu || menu->objectName() != QStringLiteral("linkMenu"))
            return false;
        // Closed once the menu runs its own loop.
        QMetaObject::invokeMethod(
            this,
            [this, menu = QPointer<QMenu>(menu)] {
                if (!menu)
                    return;
                for (QAction *action : menu->actions()) {
                    if (!action->isSeparator())
                        items.append(action->text());
                }
                menu->close();
            },
            Qt::QueuedConnection);
        return false;
    }
};

bool answers(const QString &address, quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(address, port);
    return socket.waitForConnected(10000);
}

// The status line a GET of the link's path gets.
QByteArray statusOf(const QString &address, quint16 port, const QString &code)
{
    QTcpSocket socket;
    socket.connectToHost(address, port);
    if (!socket.waitForConnected(10000))
        return {};
    socket.write("GET /f/" + code.toLatin1() + " HTTP/1.1\r\nHost: x\r\n\r\n");
    QByteArray answer;
    while (!answer.contains("\r\n") && socket.waitForReadyRead(10000))
        answer += socket.readAll();
    return answer.left(answer.indexOf("\r\n"));
}

// curl's status for a PUT of the file into the drop point at url, sent from the given address.
int putFrom(const QString &from, const QString &path, const QString &url)
{
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("-sS"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                QStringLiteral("-w"), QStringLiteral("%{http_code}"), QStringLiteral("--interface"), from,
                QStringLiteral("-T"), path, url});
    if (!curl.waitForFinished(30000))
        curl.kill();
    return curl.readAllStandardOutput().toInt();
}

const QString shareLine =
    QStringLiteral("[ファイル] 見積書_v3.xlsx (2.4 MB) http://198.18.0.2:50012/f/K7QXM2PDA9 （24時間有効）");

// Two or more instances on the virtual LAN, the first with the recording sharing attached.
struct Sharing
{
    explicit Sharing(const QList<int> &hosts = {1, 2}) : fixture(hosts)
    {
        form = fixture.instances[0]->form();
        dialogs.folder = downloads.path();
        form->attachSharing(sharing, transfers, dialogs);
    }

    LanWithInstances fixture;
    Form1 *form;
    QTemporaryDir files;
    QTemporaryDir downloads;
    RecordingFileSharing sharing;
    RecordingFileDownloads transfers;
    RecordingSaveDialogs dialogs;
};

} // namespace

class TestShareWindows : public QObject
{
    Q_OBJECT

private slots:
    // Files reach the strip, never the input line as file:// text.
    void droppedAndPastedFilesWaitInTheStrip()
    {
        Sharing s;
        const QString a = makeFile(s.files, QStringLiteral("a.txt"), 1200);
        const QString b = makeFile(s.files, QStringLiteral("b c.pdf"), 10);
        QVERIFY(s.form->fileStrip()->isHidden());

        drop(s.form->text1(), {a});
        QCOMPARE(stripNames(s.form), QStringList{QStringLiteral("a.txt")});
        QVERIFY(!s.form->fileStrip()->isHidden());
        QCOMPARE(s.form->text1()->text(), QString());

        // A file manager's copy: the uri-list and its text form.
        s.form->text1()->setText(QStringLiteral("見て"));
        auto *data = new QMimeData;
        data->setUrls(urlsOf({b, a}));
        data->setText(QUrl::fromLocalFile(b).toString());
        QApplication::clipboard()->setMimeData(data);
        s.form->text1()->setFocus();
        QTest::keyClick(s.form->text1(), Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(stripNames(s.form), (QStringList{QStringLiteral("a.txt"), QStringLiteral("b c.pdf")}));
        QCOMPARE(s.form->text1()->text(), QStringLiteral("見て"));

        // Plain text still pastes as text.
        QApplication::clipboard()->setText(QStringLiteral("file:///not/a/uri-list"));
        QTest::keyClick(s.form->text1(), Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(s.form->text1()->text(), QStringLiteral("見てfile:///not/a/uri-list"));
        QCOMPARE(s.form->fileStrip()->files().size(), 2);

        // Each chip is named for a screen reader.
        QStringList chips;
        for (QWidget *chip : s.form->fileStrip()->findChildren<QWidget *>(QStringLiteral("fileChip")))
            chips.append(chip->accessibleName());
        QCOMPARE(chips, (QStringList{QStringLiteral("送るファイル: a.txt"),
                                     QStringLiteral("送るファイル: b c.pdf")}));
    }

    // The input line's own menu pastes files into the strip like Ctrl+V, and text as text.
    void menuPasteSendsFilesToTheStrip()
    {
        Sharing s;
        const QString a = makeFile(s.files, QStringLiteral("a.txt"), 12);
        const QString b = makeFile(s.files, QStringLiteral("b.txt"), 12);
        s.form->text1()->setText(QStringLiteral("見て"));
        auto paste = [&] {
            std::unique_ptr<QMenu> menu(s.form->createText1Menu());
            QAction *action = nullptr;
            for (QAction *item : menu->actions()) {
                if (item->text().endsWith(QStringLiteral("\tCtrl+V")))
                    action = item;
            }
            QVERIFY(action);
            QVERIFY(action->isEnabled());
            action->trigger();
        };
        auto *data = new QMimeData;
        data->setUrls(urlsOf({a}));
        data->setText(QUrl::fromLocalFile(a).toString());
        QApplication::clipboard()->setMimeData(data);
        paste();
        QCOMPARE(stripNames(s.form), QStringList{QStringLiteral("a.txt")});
        QCOMPARE(s.form->text1()->text(), QStringLiteral("見て"));

        // A list of files alone, with no text form.
        data = new QMimeData;
        data->setUrls(urlsOf({b}));
        data->removeFormat(QStringLiteral("text/plain"));
        QApplication::clipboard()->setMimeData(data);
        paste();
        QCOMPARE(stripNames(s.form), (QStringList{QStringLiteral("a.txt"), QStringLiteral("b.txt")}));
        QCOMPARE(s.form->text1()->text(), QStringLiteral("見て"));

        QApplication::clipboard()->setText(QStringLiteral("です"));
        paste();
        QCOMPARE(s.form->text1()->text(), QStringLiteral("見てです"));
        QCOMPARE(s.form->fileStrip()->files().size(), 2);
        QCOMPARE(s.form->text1()->contextMenuPolicy(), Qt::CustomContextMenu);
    }

    // A folder or a missing file is told in the log and does not wait to be sent; a drop on the
    // window itself counts like one on the input line.
    void filesThatCannotBeSharedStayOut()
    {
        Sharing s;
        const int before = s.form->session()->chatLog()->size();
        drop(s.form, {s.files.path(), s.files.filePath(QStringLiteral("gone.txt"))});
        QVERIFY(s.form->fileStrip()->files().isEmpty());
        QVERIFY(s.form->fileStrip()->isHidden());
        const QStringList log = s.fixture.instances[0]->chatLog().mid(before);
        QCOMPARE(log.size(), 2);
        QVERIFY2(log[0].contains(QStringLiteral("フォルダー")), qPrintable(log[0]));
        QVERIFY2(log[1].contains(QStringLiteral("gone.txt")), qPrintable(log[1]));

        // The menu command asks through the dialog seam.
        s.dialogs.filesAnswer = {makeFile(s.files, QStringLiteral("x.bin"), 3)};
        QAction *send = s.form->findChild<QAction *>(QStringLiteral("sendFiles"));
        QVERIFY(send && send->isEnabled());
        QCOMPARE(send->shortcut(), QKeySequence(QStringLiteral("Ctrl+Shift+O")));
        send->trigger();
        QCOMPARE(s.dialogs.openQuestions, 1);
        QCOMPARE(stripNames(s.form), QStringList{QStringLiteral("x.bin")});
    }

    void enterSendsOneLinePerFileToEverybody()
    {
        Sharing s;
        auto &lan = s.fixture.lan;
        drop(s.form->text1(),
             {makeFile(s.files, QStringLiteral("a.txt"), 5), makeFile(s.files, QStringLiteral("b.txt"), 6)});
        s.form->fileStrip()->lifetimeBox()->setCurrentIndex(2);
        lan.clearSent();
        s.form->text1()->setText(QStringLiteral("どうぞ"));
        QTest::keyClick(s.form->text1(), Qt::Key_Return);

        const QStringList sent = sentTexts(lan, 1000);
        QCOMPARE(sent.size(), 3);
        QCOMPARE(sent[0], QStringLiteral("host1\tどうぞ\t198.18.0.1"));
        QVERIFY2(sent[1].startsWith(QStringLiteral("host1\t[ファイル] a.txt ")), qPrintable(sent[1]));
        QVERIFY2(sent[2].startsWith(QStringLiteral("host1\t[ファイル] b.txt ")), qPrintable(sent[2]));
        for (const auto &datagram : lan.sentTo(1000))
            QCOMPARE(datagram.to.toString(), lanBroadcast);
        QCOMPARE(s.sharing.offers.size(), 2);
        QCOMPARE(s.sharing.offers[0].lifetime, ShareLifetime::SevenDays);
        QVERIFY(s.sharing.offers[0].recipients.isEmpty());
        QVERIFY(s.form->fileStrip()->files().isEmpty());
        QCOMPARE(s.form->text1()->text(), QString());
        QTRY_VERIFY(lastEntry(*s.fixture.instances[1]).contains(QStringLiteral("[ファイル] b.txt")));

        // Files alone, with nothing typed, are sent too.
        drop(s.form->text1(), {makeFile(s.files, QStringLiteral("c.txt"), 1)});
        lan.clearSent();
        QTest::keyClick(s.form->text1(), Qt::Key_Return);
        QCOMPARE(sentTexts(lan, 1000).size(), 1);
    }

    void selectedOnlySendsFilesToTheSelectedOnly()
    {
        Sharing s({1, 2, 3});
        auto &lan = s.fixture.lan;
        s.fixture.time.advance(Participants::answerDelayMs(lanBroadcast));
        QCOMPARE(s.fixture.instances[0]->participants().size(), 2);
        s.form->check1()->setChecked(true);
        selectParticipant(s.form, address(3));
        drop(s.form->text1(), {makeFile(s.files, QStringLiteral("内緒.txt"), 5)});
        lan.clearSent();
        QTest::keyClick(s.form->text1(), Qt::Key_Return);

        QCOMPARE(s.sharing.offers.size(), 1);
        QCOMPARE(s.sharing.offers[0].recipients, QStringList{address(3)});
        QStringList destinations;
        for (const auto &datagram : lan.sentTo(1000))
            destinations.append(datagram.to.toString());
        QCOMPARE(destinations, (QStringList{address(3), address(1)}));
        QVERIFY2(sentTexts(lan, 1000).first().endsWith(QStringLiteral("（24時間有効）-Only\t198.18.0.1")),
                 qPrintable(sentTexts(lan, 1000).first()));
        QTRY_VERIFY(lastEntry(*s.fixture.instances[2]).contains(QStringLiteral("内緒.txt")));
        QVERIFY(!lastEntry(*s.fixture.instances[1]).contains(QStringLiteral("内緒.txt")));
    }

    // A colleague pastes only the link and sends it to the selected people: the marker follows the
    // code without a blank, before the entry's TAB and time, and the row still saves.
    void linkSentLastToSelectedPeopleSaves()
    {
        Sharing s;
        s.fixture.time.advance(Participants::answerDelayMs(lanBroadcast));
        Form1 *peer = s.fixture.instances[1]->form();
        peer->check1()->setChecked(true);
        selectParticipant(peer, address(1));
        const QString link = QStringLiteral("http://198.18.0.2:50012/f/K7QXM2PDA9");
        peer->text1()->setText(link);
        QTest::keyClick(peer->text1(), Qt::Key_Return);
        QTRY_VERIFY2(
            lastEntry(*s.fixture.instances[0]).contains(QLatin1Char('>') + link + QStringLiteral("-Only\t")),
            qPrintable(lastEntry(*s.fixture.instances[0])));
        activateRow(s.form, s.form->session()->chatLog()->size() - 1);
        QCOMPARE(s.fixture.instances[0]->shell.opened, QStringList{});
        QCOMPARE(s.transfers.nameQuestions.size(), 1);
        QCOMPARE(s.transfers.nameQuestions[0].first, QUrl(link));
        QCOMPARE(s.dialogs.proposed.size(), 1);
    }

    // A file that could not be shared stays waiting, and the others go.
    void removingAChipAndAFailedShare()
    {
        Sharing s;
        drop(s.form->text1(),
             {makeFile(s.files, QStringLiteral("a.txt"), 5), makeFile(s.files, QStringLiteral("b.txt"), 6)});
        const auto removes = s.form->fileStrip()->findChildren<QToolButton *>(QStringLiteral("removeFile"));
        QCOMPARE(removes.size(), 2);
        QCOMPARE(removes[0]->accessibleName(), QStringLiteral("送るファイルから外す: a.txt"));
        QTest::mouseClick(removes[0], Qt::LeftButton);
        QCOMPARE(stripNames(s.form), QStringList{QStringLiteral("b.txt")});

        s.sharing.refuse = QStringLiteral("ファイルが読めません");
        s.fixture.lan.clearSent();
        QTest::keyClick(s.form->text1(), Qt::Key_Return);
        QVERIFY(sentTexts(s.fixture.lan, 1000).isEmpty());
        QCOMPARE(stripNames(s.form), QStringList{QStringLiteral("b.txt")});
        QVERIFY2(lastEntry(*s.fixture.instances[0]).contains(QStringLiteral("ファイルが読めません")),
                 qPrintable(lastEntry(*s.fixture.instances[0])));
    }

    // The name from the line in the download folder, never one that exists.
    void activatingAShareLinkAsksWhereToSave()
    {
        Sharing s;
        ChatSession *session = s.form->session();
        session->logNotice(QStringLiteral("host2>") + shareLine);
        const int row = session->chatLog()->size() - 1;
        activateRow(s.form, row);
        const QString first = QDir(s.downloads.path()).filePath(QStringLiteral("見積書_v3.xlsx"));
        QCOMPARE(s.dialogs.proposed, QStringList{first});
        QCOMPARE(s.transfers.started.size(), 1);
        QCOMPARE(s.transfers.started[0].first, QUrl(QStringLiteral("http://198.18.0.2:50012/f/K7QXM2PDA9")));
        QCOMPARE(s.transfers.started[0].second, first);
        QVERIFY(s.fixture.instances[0]->shell.opened.isEmpty());

        QVERIFY(!makeFile(s.downloads, QStringLiteral("見積書_v3.xlsx"), 1).isEmpty());
        QVERIFY(!makeFile(s.downloads, QStringLiteral("見積書_v3 (1).xlsx"), 1).isEmpty());
        const QModelIndex index = s.form->list1()->model()->index(row, 0);
        s.form->list1()->scrollTo(index);
        const QPoint at = s.form->list1()->visualRect(index).center();
        // A double click as the window system delivers it: press, release, then the double click.
        QTest::mouseClick(s.form->list1()->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(s.form->list1()->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(s.dialogs.proposed.size(), 2);
        QCOMPARE(s.dialogs.proposed[1],
                 QDir(s.downloads.path()).filePath(QStringLiteral("見積書_v3 (2).xlsx")));

        // Cancelled: nothing starts.
        s.dialogs.saveAnswer = QStringLiteral("");
        activateRow(s.form, row);
        QCOMPARE(s.transfers.started.size(), 2);
    }

    // The sender's real name, not the line's cut and disguised one, in the download folder.
    void theSendersNameIsProposed()
    {
        Sharing s;
        const QUrl url(QStringLiteral("http://198.18.0.2:50012/f/K7QXM2PDA9"));
        const QString real = QStringLiteral("見積書 v3-Only.xlsx");
        s.transfers.senderNames.insert(url, real);
        ChatSession *session = s.form->session();
        session->logNotice(QStringLiteral("host2>[ファイル] 見積書 v3\u2010Only.xlsx (2.4 MB) ") +
                           url.toString() + QStringLiteral(" （24時間有効）"));
        const int row = session->chatLog()->size() - 1;
        activateRow(s.form, row);
        QCOMPARE(s.transfers.nameQuestions.size(), 1);
        QCOMPARE(s.transfers.nameQuestions[0].first, url);
        QCOMPARE(s.transfers.nameQuestions[0].second, QStringLiteral("見積書 v3\u2010Only.xlsx"));
        QCOMPARE(s.dialogs.proposed, QStringList{s.downloads.filePath(real)});
        QCOMPARE(s.transfers.started.size(), 1);
        QCOMPARE(s.transfers.started[0].second, s.downloads.filePath(real));

        QVERIFY(!makeFile(s.downloads, real, 1).isEmpty());
        activateRow(s.form, row);
        QCOMPARE(s.dialogs.proposed.size(), 2);
        QCOMPARE(s.dialogs.proposed[1], s.downloads.filePath(QStringLiteral("見積書 v3-Only (1).xlsx")));

        // The sender does not answer: the line's name.
        s.transfers.senderNames.clear();
        activateRow(s.form, row);
        QCOMPARE(s.dialogs.proposed.size(), 3);
        QCOMPARE(s.dialogs.proposed[2], s.downloads.filePath(QStringLiteral("見積書 v3\u2010Only.xlsx")));
    }

    // Enter again while the sender answers opens one dialog; a window closed meanwhile opens none.
    void oneDialogWhileTheNameIsAskedFor()
    {
        Sharing s;
        s.transfers.holdNames = true;
        ChatSession *session = s.form->session();
        session->logNotice(QStringLiteral("host2>") + shareLine);
        const int row = session->chatLog()->size() - 1;
        activateRow(s.form, row);
        activateRow(s.form, row);
        QCOMPARE(s.transfers.nameQuestions.size(), 1);
        QVERIFY(s.dialogs.proposed.isEmpty());
        s.transfers.answerNames();
        QCOMPARE(s.dialogs.proposed.size(), 1);
        // Answered: the next activation asks again.
        activateRow(s.form, row);
        QCOMPARE(s.transfers.nameQuestions.size(), 2);
        s.form->close();
        s.transfers.answerNames();
        QCOMPARE(s.dialogs.proposed.size(), 1);
        QCOMPARE(s.transfers.started.size(), 1);
    }

    // The program's own downloads ask the sender with HEAD and give up after 10 s.
    void theDownloadsAskTheSender()
    {
        QTemporaryDir dir;
        ManualScheduler time;
        SharedFiles files(time);
        files.start(dir.filePath(QStringLiteral("history.sqlite")), QString(), 1000);
        QTcpServer sender;
        QVERIFY(sender.listen(QHostAddress::LocalHost));
        QByteArray request;
        bool answering = true;
        connect(&sender, &QTcpServer::newConnection, &sender, [&] {
            QTcpSocket *socket = sender.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
                request += socket->readAll();
                if (answering && request.contains("\r\n\r\n")) {
                    socket->write(
                        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Disposition: attachment; "
                        "filename=\"v3-Only.xlsx\"; filename*=UTF-8''%E8%A6%8B%E7%A9%8D%E6%9B%B8%20v3-"
                        "Only.xlsx\r\n\r\n");
                }
            });
        });
        const QUrl url(QStringLiteral("http://127.0.0.1:%1/f/K7QXM2PDA9").arg(sender.serverPort()));
        QString name;
        files.downloads().proposedName(url, QStringLiteral("見積書 v3\u2010Only.xlsx"),
                                       [&](const QString &answer) { name = answer; });
        QTRY_COMPARE(name, QStringLiteral("見積書 v3-Only.xlsx"));
        QVERIFY2(request.startsWith("HEAD /f/K7QXM2PDA9 "), request.constData());

        answering = false;
        request.clear();
        name.clear();
        files.downloads().proposedName(url, QStringLiteral("見積書 v3\u2010Only.xlsx"),
                                       [&](const QString &answer) { name = answer; });
        QTRY_VERIFY(request.contains("\r\n\r\n"));
        time.advance(9000);
        QVERIFY(name.isEmpty());
        time.advance(1000);
        QTRY_COMPARE(name, QStringLiteral("見積書 v3\u2010Only.xlsx"));
    }

    // The server runs while something is shared. With nothing shared the program holds neither the
    // server nor a connection to the history's file; a share starts it at once, on the port it had
    // before, also on a new address and at the next start. After the last share has ended it
    // tells links that have ended so for a while, and lets running downloads finish, then stops.
    // Loopback addresses of this test's own keep other tests off its ports.
    void theServerRunsWhileSomethingIsShared()
    {
        QTemporaryDir dir;
        ManualScheduler time;
        const QString database = dir.filePath(QStringLiteral("history.sqlite"));
        const QString first = QStringLiteral("127.0.83.1"), second = QStringLiteral("127.0.83.2");
        const QString small = makeFile(dir, QStringLiteral("a.txt"), 10);
        // More than the sockets' buffers take while the receiver does not read.
        const QString big = makeFile(dir, QStringLiteral("big.bin"), 48 * 1024 * 1024);
        const auto linkOn = [](const QString &address, quint16 port) {
            return QStringLiteral("http://%1:%2/f/").arg(address).arg(port);
        };
        quint16 port = 0;
        QString kept;
        {
            SharedFiles files(time);
            QSignalSpy notices(&files, &SharedFiles::notice);
            files.start(database, first, 1000);
            // Nothing kept: nothing of sharing is made until it is used.
            QVERIFY(!files.awake());
            QVERIFY(!files.somethingToServe());
            QCOMPARE(files.host(), QString());
            QCOMPARE(OpenFiles::descriptorsOn(database), 0);

            // Another program holds the first port of the range while the first share is made.
            QTcpServer holder;
            QVERIFY(holder.listen(QHostAddress(first), ShareRegistry::firstPort));
            const FileSharing::Offer offer = files.sharing().offer(big, ShareLifetime::OneDay, {});
            QVERIFY2(!offer.line.isEmpty(), qPrintable(offer.error));
            port = files.server()->port();
            QCOMPARE(port, ShareRegistry::firstPort + 1);
            holder.close();
            QVERIFY2(offer.line.contains(linkOn(first, port)), qPrintable(offer.line));
            QCOMPARE(files.host(), first);
            QVERIFY(OpenFiles::descriptorsOn(database) > 0);

            // A receiver that does not read holds its download open past the share's end.
            const QString code = files.registry()->shares().at(0).entry.code;
            // Its socket's buffer is bounded too: unbounded, it takes in all it can whenever the
            // waits below run the event loop, and the download could end before the checks.
            QTcpSocket receiver;
            receiver.setReadBufferSize(4096);
            receiver.connectToHost(first, port);
            QVERIFY(receiver.waitForConnected(10000));
            receiver.write("GET /f/" + code.toLatin1() + " HTTP/1.1\r\nHost: x\r\n\r\n");
            QTRY_VERIFY(!files.server()->running().isEmpty());
            files.sharing().stop(code);
            QCOMPARE(OpenFiles::descriptorsOn(database), 0);
            QCOMPARE(statusOf(first, port, code), QByteArray("HTTP/1.1 410 Gone"));
            time.advance(SharedFiles::endingsToldMs);
            QVERIFY2(answers(first, port), "the server stopped under a running download");
            receiver.abort();
            QTRY_VERIFY(files.server()->running().isEmpty());
            time.advance(SharedFiles::drainCheckMs);
            QCOMPARE(files.host(), QString());
            QVERIFY(!answers(first, port));

            // A new address while nothing is served: the next share is served there, on the same port.
            files.follow(second);
            QCOMPARE(files.host(), QString());
            const FileSharing::Offer again = files.sharing().offer(small, ShareLifetime::SevenDays, {});
            QVERIFY2(again.line.contains(linkOn(second, port)), qPrintable(again.line + again.error));
            kept = files.registry()->shares().at(0).entry.code;
            // A file that cannot be shared is refused as ever; the server stays for the share it has.
            QVERIFY(!files.sharing()
                         .offer(dir.filePath(QStringLiteral("missing")), ShareLifetime::OneDay, {})
                         .error.isEmpty());
            QCOMPARE(files.host(), second);
            files.follow(first);
            QCOMPARE(files.host(), first);
            QVERIFY(answers(first, port));
            for (const QVariantList &notice : std::as_const(notices))
                QVERIFY2(!notice.at(0).toString().contains(QStringLiteral("始められません")),
                         qPrintable(notice.at(0).toString()));
        }
        {
            // The share kept from the earlier run is served from the start, on its port.
            SharedFiles files(time);
            files.start(database, first, 1000);
            QCOMPARE(files.host(), first);
            QCOMPARE(files.server()->port(), port);
            QVERIFY(answers(first, port));
            files.sharing().stop(kept);
            time.advance(SharedFiles::endingsToldMs);
            QCOMPARE(files.host(), QString());
        }
        {
            // Finished downloads are only listed: they wake nothing at the start. One that did not
            // end is resumed at once.
            DownloadRecord record;
            record.url = QStringLiteral("http://127.0.83.9:50012/f/K7QXM2PDA9");
            record.target = dir.filePath(QStringLiteral("done.txt"));
            record.part = record.target + QStringLiteral(".part");
            record.state = QStringLiteral("finished");
            {
                DownloadStore store(database, 1000);
                QVERIFY(store.insert(record));
            }
            SharedFiles asleep(time);
            asleep.start(database, first, 1000);
            QVERIFY(!asleep.awake());
            record.state = QStringLiteral("paused");
            {
                DownloadStore store(database, 1000);
                QVERIFY(store.insert(record));
            }
            SharedFiles resuming(time);
            resuming.start(database, first, 1000);
            QVERIFY(resuming.awake());
        }
        {
            // Without the history's file sharing works for this run and touches no file; without an
            // address of the LAN a share is refused with the reason.
            SharedFiles files(time);
            QSignalSpy notices(&files, &SharedFiles::notice);
            files.start(QString(), QString(), 1001);
            const FileSharing::Offer refused = files.sharing().offer(small, ShareLifetime::OneHour, {});
            QVERIFY2(refused.line.isEmpty() && refused.error.contains(QStringLiteral("LAN のアドレス")),
                     qPrintable(refused.error));
            QCOMPARE(files.registry()->count(), 0);
            files.follow(first);
            const FileSharing::Offer offer = files.sharing().offer(small, ShareLifetime::OneHour, {});
            QVERIFY2(offer.line.contains(QStringLiteral("http://%1:").arg(first)), qPrintable(offer.error));
            QVERIFY(files.registry()->inMemoryOnly());
            QCOMPARE(notices.size(), 0);
        }
    }

    // The whole road of a drop point opened for one selected peer: one line with the link to that
    // peer alone, the registry taking files from that address only. The instances sit on a virtual
    // LAN of loopback addresses so that the server, on the first of them, sees a real upload from
    // the peer's own address.
    void aDropPointForTheSelectedPeer()
    {
        VirtualLan lan(QStringLiteral("127.0.84.0"));
        ManualScheduler time;
        std::vector<std::unique_ptr<Instance>> peers;
        for (int last = 1; last <= 3; ++last) {
            peers.push_back(std::make_unique<Instance>(lan, time, QStringLiteral("127.0.84.%1").arg(last),
                                                       QStringLiteral("host%1").arg(last)));
            QVERIFY(peers.back()->start());
        }
        time.advance(Participants::answerDelayMs(QStringLiteral("127.0.84.3")));
        const QString me = QStringLiteral("127.0.84.1"), peer = QStringLiteral("127.0.84.3");
        Form1 *form = peers[0]->form();
        QCOMPARE(peers[0]->participants().size(), 2);
        QTemporaryDir downloads;
        RecordingSaveDialogs dialogs;
        dialogs.folder = downloads.path();
        SharedFiles files(time);
        files.start(QString(), me, 1000);
        form->attachSharing(files.sharing(), files.downloads(), dialogs);

        form->check1()->setChecked(true);
        selectParticipant(form, peer);
        QAction *receive = form->findChild<QAction *>(QStringLiteral("receiveFiles"));
        QVERIFY(receive && receive->isEnabled());
        QCOMPARE(receive->shortcut(), QKeySequence(QStringLiteral("Ctrl+Shift+R")));
        receive->trigger();
        DropPointDialog *dialog = form->dropPointDialog();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->lifetime(), ShareLifetime::OneHour);
        QCOMPARE(dialog->sizeLimit(), DropPointEntry::defaultSizeLimit);
        QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("senders"))->text(),
                 QStringLiteral("host3 (127.0.84.3)"));
        dialog->lifetimeBox()->setCurrentIndex(1);
        dialog->limitBox()->setValue(2);
        const int peerLog = int(peers[2]->chatLog().size());
        const int otherLog = int(peers[1]->chatLog().size());
        lan.clearSent();
        QTest::mouseClick(dialog->buttons()->button(QDialogButtonBox::Ok), Qt::LeftButton);

        QVERIFY(peers[0]->messages.shown.isEmpty());
        const QList<DropPointEntry> opened = files.dropPoints()->list();
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened[0].senders, QStringList{peer});
        QCOMPARE(opened[0].sizeLimit, qint64(2) * 1024 * 1024 * 1024);
        QCOMPARE(opened[0].folder, QFileInfo(downloads.path()).canonicalFilePath());
        const QString link =
            QStringLiteral("http://%1:%2/u/%3").arg(me).arg(files.server()->port()).arg(opened[0].code);
        QStringList destinations;
        for (const auto &datagram : lan.sentTo(1000))
            destinations.append(datagram.to.toString());
        QCOMPARE(destinations, (QStringList{peer, me}));
        QTRY_COMPARE(peers[2]->chatLog().size(), peerLog + 1);
        const QString line = peers[2]->chatLog().last();
        QVERIFY2(line.startsWith(QStringLiteral("host1>[ファイル受付] host1へファイルを送るには ") + link +
                                 QStringLiteral(" （24時間有効）-Only\t")),
                 qPrintable(line));
        // The peer's Enter opens the link in the browser, which shows the upload form.
        QCOMPARE(ShareLinks::find(line).size(), 1);
        QCOMPARE(ShareLinks::find(line)[0].url, QUrl(link));
        QCOMPARE(peers[1]->chatLog().size(), otherLog);

        // Only the peer's address may send; what it sends is told in the own log alone and heard.
        QTemporaryDir outbox;
        const QString report = makeFile(outbox, QStringLiteral("report.pdf"), 1200);
        QCOMPARE(putFrom(QStringLiteral("127.0.84.2"), report, link + u'/'), 403);
        QSignalSpy spoken(form->announcer(), &Announcer::announce);
        lan.clearSent();
        QCOMPARE(putFrom(peer, report, link + u'/'), 201);
        const QString arrival = QStringLiteral("host3 (127.0.84.3) からファイルを受け取りました: report.pdf "
                                               "(1.2 KB)、保存先 ") +
                                QDir::toNativeSeparators(opened[0].folder);
        QTRY_VERIFY2(lastEntry(*peers[0]).startsWith(arrival + u'\t'), qPrintable(lastEntry(*peers[0])));
        QCOMPARE(spoken.size(), 1);
        QCOMPARE(spoken[0][0].toString(), arrival);
        QVERIFY(lan.sentTo(1000).isEmpty());
        QVERIFY(QFileInfo::exists(downloads.filePath(QStringLiteral("report.pdf"))));

        // An upload under way is listed beside the downloads, with its sender, until it is whole.
        form->findChild<QAction *>(QStringLiteral("showTransfers"))->trigger();
        TransferListModel *running = form->transfersWindow()->model();
        QProcess slow;
        slow.start(QStringLiteral("curl"),
                   {QStringLiteral("-sS"), QStringLiteral("--interface"), peer, QStringLiteral("-T"),
                    QStringLiteral("-"), link + QStringLiteral("/slow.txt")});
        QVERIFY(slow.waitForStarted());
        slow.write("the first half, ");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(downloads.filePath(QStringLiteral("slow.txt.part"))),
                                 10000);
        QTRY_VERIFY_WITH_TIMEOUT((time.advance(TransfersWindow::refreshMs),
                                  running->rowCount() == 1 && running->text(0, TransferListModel::Progress) ==
                                                                  QStringLiteral("16 B")),
                                 10000);
        QCOMPARE(running->text(0, TransferListModel::Name), QStringLiteral("slow.txt"));
        QCOMPARE(running->text(0, TransferListModel::State), QStringLiteral("受け取り中 (127.0.84.3 から)"));
        form->transfersWindow()->table()->selectRow(0);
        QVERIFY(!form->transfersWindow()->cancelButton()->isEnabled());
        // The shares window's list tells it too, beside what arrived.
        DropPointListModel listed({});
        listed.setDropPoints(files.sharing().dropPoints());
        QCOMPARE(listed.text(0, DropPointListModel::Received),
                 QStringLiteral("1 件、最後: report.pdf、受け取り中 1 件 (16 B)"));
        slow.write("then the rest");
        slow.closeWriteChannel();
        QVERIFY(slow.waitForFinished(30000));
        QTRY_VERIFY(lastEntry(*peers[0]).contains(QStringLiteral("slow.txt (29 B)")));
        time.advance(TransfersWindow::refreshMs);
        QCOMPARE(running->rowCount(), 0);
        form->transfersWindow()->close();

        // The shares window lists it with what arrived; 受け取りをやめる ends it, and the link with it.
        form->findChild<QAction *>(QStringLiteral("showShares"))->trigger();
        SharesWindow *window = form->sharesWindow();
        QVERIFY(window && window->isVisible());
        DropPointListModel *model = window->dropModel();
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(model->text(0, DropPointListModel::Link), link);
        QCOMPARE(model->text(0, DropPointListModel::Senders), QStringLiteral("host3 (127.0.84.3)"));
        QCOMPARE(model->text(0, DropPointListModel::Received), QStringLiteral("2 件、最後: slow.txt"));
        QCOMPARE(model->text(0, DropPointListModel::Expires), QStringLiteral("1日"));
        QCOMPARE(window->stopReceivingButton()->accessibleName(), QStringLiteral("受け取りをやめる"));
        QVERIFY(!window->stopReceivingButton()->isEnabled());
        window->dropTable()->setFocus();
        QTest::keyClick(window->dropTable(), Qt::Key_Down);
        QTest::keyClick(window->copyLinkButton(), Qt::Key_Space);
        QCOMPARE(QApplication::clipboard()->text(), link);
        QTest::keyClick(window->stopReceivingButton(), Qt::Key_Space);
        QCOMPARE(files.dropPoints()->count(), 0);
        QCOMPARE(model->rowCount(), 0);
        QCOMPARE(putFrom(peer, report, link + u'/'), 410);
        window->close();

        // A name that would mark the line as selected-only is disguised.
        QVERIFY(!ShareLinks::dropPointLineText(QStringLiteral("a-Only"), link, ShareLifetime::OneHour)
                     .contains(QStringLiteral("-Only")));
    }

    // A sender outside the participant list is named by its address; a name from the network
    // cannot break or reorder the line; a failed upload says what the user can do.
    void arrivalsAndFailuresInTheLog()
    {
        Sharing s;
        QSignalSpy spoken(s.form->announcer(), &Announcer::announce);
        emit s.sharing.fileReceived(QStringLiteral("\u202Efdp.exe\nx"), 1200000, address(9),
                                    QStringLiteral("/home/u/ダウンロード"));
        QCOMPARE(lastEntry(*s.fixture.instances[0]).section(u'\t', 0, 0),
                 QStringLiteral("198.18.0.9 からファイルを受け取りました:  fdp.exe x (1.2 MB)、保存先 "
                                "/home/u/ダウンロード"));
        const QString reason = QStringLiteral("受け取る人のディスクの空きが足りません。");
        emit s.sharing.uploadFailed(QStringLiteral("big.iso"), reason,
                                    QStringLiteral("/home/u/ダウンロード"));
        const QString failed = lastEntry(*s.fixture.instances[0]);
        QVERIFY2(failed.contains(QStringLiteral("「big.iso」を受け取れませんでした")) &&
                     failed.contains(reason) && failed.contains(QStringLiteral("空き")),
                 qPrintable(failed));
        s.fixture.time.advance(Announcer::intervalMs);
        QCOMPARE(spoken.size(), 2);
    }

    void ordinaryLinksOpenOnlyWhenActivated()
    {
        Sharing s;
        ChatSession *session = s.form->session();
        session->logNotice(QStringLiteral("host2>手順は https://example.org/wiki?a=1. を見て"));
        session->logNotice(QStringLiteral("host2>リンクなし"));
        const int row = session->chatLog()->size() - 2;
        RecordingUrlOpener &shell = s.fixture.instances[0]->shell;
        s.form->list1()->setCurrentIndex(s.form->list1()->model()->index(row, 0));
        QVERIFY(shell.opened.isEmpty());
        activateRow(s.form, row + 1);
        QVERIFY(shell.opened.isEmpty());
        activateRow(s.form, row);
        QCOMPARE(shell.opened, QStringList{QStringLiteral("https://example.org/wiki?a=1")});
        QVERIFY(s.dialogs.proposed.isEmpty());
    }

    // All by keyboard: Tab into the log, End to the newest row, Enter saves; moving onto an
    // ordinary link opens nothing until Enter; the menu key and Shift+F10 offer saving.
    void theLogByKeyboard()
    {
        Sharing s;
        s.form->show();
        s.form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(s.form));
        ChatSession *session = s.form->session();
        session->logNotice(QStringLiteral("host2>手順は https://example.org/wiki を見て"));
        session->logNotice(QStringLiteral("host2>") + shareLine);
        const int last = session->chatLog()->size() - 1;
        s.form->text1()->setFocus();
        EntryListView *log = s.form->list1();
        QTest::keyClick(s.form->text1(), Qt::Key_Tab);
        QTest::keyClick(log, Qt::Key_End);
        QCOMPARE(log->currentIndex().row(), last);
        QTest::keyClick(log, Qt::Key_Return);
        QCOMPARE(s.dialogs.proposed, QStringList{s.downloads.filePath(QStringLiteral("見積書_v3.xlsx"))});
        QCOMPARE(s.transfers.started.size(), 1);

        RecordingUrlOpener &shell = s.fixture.instances[0]->shell;
        QTest::keyClick(log, Qt::Key_Up);
        QCOMPARE(log->currentIndex().row(), last - 1);
        QVERIFY(shell.opened.isEmpty());
        QTest::keyClick(log, Qt::Key_Enter);
        QCOMPARE(shell.opened, QStringList{QStringLiteral("https://example.org/wiki")});
        QTest::keyClick(log, Qt::Key_Home);
        QCOMPARE(log->currentIndex().row(), 0);
        QCOMPARE(shell.opened.size(), 1);

        // The menu key, as the window system delivers it: a context menu event from the keyboard.
        QTest::keyClick(log, Qt::Key_End);
        const QStringList saveMenu = {QStringLiteral("保存…"), QStringLiteral("リンクをコピー")};
        {
            EntryMenuReader reader;
            QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, {}, log->mapToGlobal(QPoint()));
            QApplication::sendEvent(log->viewport(), &menuKey);
            QCOMPARE(reader.items, saveMenu);
        }
        {
            EntryMenuReader reader;
            QTest::keyClick(log, Qt::Key_F10, Qt::ShiftModifier);
            QCOMPARE(reader.items, saveMenu);
        }
    }

    // At the window's first size, two or three ordinary names share the strip without a chip
    // being cut off; a name cut short is whole in the chip's tool tip and accessible name.
    void chipsFitTheStrip()
    {
        Sharing s;
        s.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(s.form));
        const QStringList names = {QStringLiteral("見積書_v3.xlsx"), QStringLiteral("議事録 2026-01.pdf"),
                                   QStringLiteral("report.docx")};
        for (int count = 2; count <= 3; ++count) {
            s.form->fileStrip()->clear();
            QStringList paths;
            for (int i = 0; i < count; ++i)
                paths.append(makeFile(s.files, names[i], 183000));
            s.form->addFilesToSend(paths);
            const auto chips = s.form->fileStrip()->findChildren<QWidget *>(QStringLiteral("fileChip"));
            QCOMPARE(chips.size(), count);
            const QRect strip = s.form->fileStrip()->contentsRect();
            for (int i = 0; i < count; ++i) {
                const auto *label = chips[i]->findChild<QLabel *>(QStringLiteral("fileName"));
                QVERIFY(label);
                QTRY_VERIFY2(label->width() >= label->fontMetrics().horizontalAdvance(label->text()),
                             qPrintable(label->text()));
                QVERIFY2(strip.contains(chips[i]->geometry()), qPrintable(label->text()));
                // Enough of the name to tell the files apart.
                QVERIFY2(label->text().size() >= 6, qPrintable(label->text()));
                QCOMPARE(chips[i]->accessibleName(), QStringLiteral("送るファイル: ") + names[i]);
                QVERIFY(chips[i]->toolTip().contains(names[i]));
            }
        }

        const QFontMetrics metrics(QApplication::font());
        const QString name = QStringLiteral("議事録 2026-01.pdf");
        const QString full = QStringLiteral("議事録 2026-01.pdf (183.0 KB)");
        QCOMPARE(FileStrip::chipText(name, QStringLiteral("183.0 KB"), metrics, 1000), full);
        const QString cut = FileStrip::chipText(name, QStringLiteral("183.0 KB"), metrics,
                                                metrics.horizontalAdvance(full) - 1);
        QVERIFY2(cut.endsWith(QStringLiteral(".pdf (183.0 KB)")) && cut.contains(QChar(0x2026)),
                 qPrintable(cut));
        const QString nameOnly = FileStrip::chipText(name, QStringLiteral("183.0 KB"), metrics,
                                                     metrics.horizontalAdvance(QStringLiteral("議事録…pdf")));
        QVERIFY2(!nameOnly.contains(QStringLiteral("KB")) && nameOnly.contains(QChar(0x2026)),
                 qPrintable(nameOnly));
    }

    void linksInText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("links");
        QTest::addColumn<QStringList>("codes");
        QTest::newRow("share line") << shareLine
                                    << QStringList{QStringLiteral("http://198.18.0.2:50012/f/K7QXM2PDA9")}
                                    << QStringList{QStringLiteral("K7QXM2PDA9")};
        QTest::newRow("lower-case code")
            << QStringLiteral("http://198.18.0.2:50012/f/k7qxm2pda9 x")
            << QStringList{QStringLiteral("http://198.18.0.2:50012/f/k7qxm2pda9")}
            << QStringList{QStringLiteral("K7QXM2PDA9")};
        QTest::newRow("not a code") << QStringLiteral("http://198.18.0.2:50012/f/K7QXM2PDA0")
                                    << QStringList{QStringLiteral("http://198.18.0.2:50012/f/K7QXM2PDA0")}
                                    << QStringList{QString()};
        QTest::newRow("selected-only mark")
            << QStringLiteral("see https://example.org/x-Only")
            << QStringList{QStringLiteral("https://example.org/x")} << QStringList{QString()};
        QTest::newRow("full-width bracket")
            << QStringLiteral("（https://example.org/a）と")
            << QStringList{QStringLiteral("https://example.org/a")} << QStringList{QString()};
        QTest::newRow("two, TAB ended")
            << QStringLiteral("http://a.example/ http://b.example/p\t12:00:00")
            << QStringList{QStringLiteral("http://a.example/"), QStringLiteral("http://b.example/p")}
            << QStringList{QString(), QString()};
        QTest::newRow("no host") << QStringLiteral("http:// and ftp://x.example/") << QStringList{}
                                 << QStringList{};
        QTest::newRow("javascript") << QStringLiteral("javascript:alert(1)") << QStringList{}
                                    << QStringList{};
    }

    void linksInText()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, links);
        QFETCH(QStringList, codes);
        QStringList found, foundCodes;
        for (const ShareLinks::FoundLink &span : ShareLinks::find(text)) {
            // A share link is opened in its stored form, its code in upper case.
            const QString underlined = text.mid(span.start, span.length);
            QCOMPARE(span.url, span.code.isEmpty() ? QUrl(underlined)
                                                   : QUrl(underlined.chopped(span.code.size()) + span.code));
            found.append(underlined);
            foundCodes.append(span.code);
        }
        QCOMPARE(found, links);
        QCOMPARE(foundCodes, codes);
    }

    void namesProposedForSaving()
    {
        QCOMPARE(SafeFileName::baseName(QStringLiteral("../../.bashrc")), QStringLiteral("bashrc"));
        QCOMPARE(SafeFileName::baseName(QStringLiteral("a\tb\nc")), QStringLiteral("a_b_c"));
        QCOMPARE(SafeFileName::baseName(QStringLiteral("..")), QStringLiteral("ダウンロード"));
        QTemporaryDir dir;
        QCOMPARE(SafeFileName::uniquePath(dir.path(), QStringLiteral("a.tar.gz")),
                 dir.filePath(QStringLiteral("a.tar.gz")));
        QVERIFY(!makeFile(dir, QStringLiteral("a.tar.gz"), 1).isEmpty());
        QCOMPARE(SafeFileName::uniquePath(dir.path(), QStringLiteral("a.tar.gz")),
                 dir.filePath(QStringLiteral("a.tar (1).gz")));
        QVERIFY(!makeFile(dir, QStringLiteral("README"), 1).isEmpty());
        QCOMPARE(SafeFileName::uniquePath(dir.path(), QStringLiteral("README")),
                 dir.filePath(QStringLiteral("README (1)")));
    }

    void durations()
    {
        QCOMPARE(ShareTexts::duration(1), QStringLiteral("1秒"));
        QCOMPARE(ShareTexts::duration(60000), QStringLiteral("1分"));
        QCOMPARE(ShareTexts::duration(60001), QStringLiteral("2分"));
        QCOMPARE(ShareTexts::duration(24 * 3600000), QStringLiteral("1日"));
        QCOMPARE(ShareTexts::duration(24 * 3600000 + 1), QStringLiteral("2日"));
        QCOMPARE(ShareTexts::duration(23 * 3600000 + 1), QStringLiteral("24時間"));
        QCOMPARE(ShareTexts::speed(0), QStringLiteral("—"));
        QCOMPARE(ShareTexts::speed(2400000), QStringLiteral("2.4 MB/秒"));
    }

    // Refreshed once a second while shown, never while hidden; the chosen share stops.
    void sharesWindowListsAndStops()
    {
        Sharing s({1, 2});
        s.fixture.time.advance(Participants::answerDelayMs(lanBroadcast));
        s.sharing.rows = {
            {QStringLiteral("AAAAAAAAAA"), QStringLiteral("a.txt"), 2400000, {}, 3, 1, 50, 200, -1},
            {QStringLiteral("BBBBBBBBBB"),
             QStringLiteral("b.txt"),
             10,
             {address(2), address(9)},
             0,
             0,
             0,
             0,
             90 * 60000}};
        SharesWindow *window = s.form->sharesWindow();
        QVERIFY(window);
        QCOMPARE(window->accessibleName(), QStringLiteral("共有中のファイル"));
        QVERIFY(!window->table()->accessibleName().isEmpty());
        ShareListModel *model = window->model();
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(model->text(0, ShareListModel::Recipients), QStringLiteral("全員"));
        QCOMPARE(model->text(0, ShareListModel::Expires), QStringLiteral("終了まで"));
        QCOMPARE(model->text(0, ShareListModel::Size), QStringLiteral("2.4 MB"));
        QCOMPARE(model->text(0, ShareListModel::Downloads), QStringLiteral("完了 3、実行中 1 (25%)"));
        QCOMPARE(model->text(1, ShareListModel::Recipients),
                 QStringLiteral("host2 (198.18.0.2)、198.18.0.9"));
        QCOMPARE(model->text(1, ShareListModel::Expires), QStringLiteral("2時間"));

        s.sharing.rows[1].msLeft = 30 * 60000;
        const int queries = s.sharing.shareQueries;
        s.fixture.time.advance(SharesWindow::refreshMs * 3);
        QCOMPARE(s.sharing.shareQueries, queries);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        s.fixture.time.advance(SharesWindow::refreshMs);
        QCOMPARE(model->text(1, ShareListModel::Expires), QStringLiteral("30分"));

        QVERIFY(!window->stopButton()->isEnabled());
        window->table()->selectRow(1);
        QTest::mouseClick(window->stopButton(), Qt::LeftButton);
        QCOMPARE(s.sharing.stopped, QStringList{QStringLiteral("BBBBBBBBBB")});
        window->close();
    }

    // A failure's reason in the window, in the log, and for a screen reader.
    void transfersWindowShowsFailures()
    {
        Sharing s;
        TransfersWindow *window = s.form->transfersWindow();
        QVERIFY(window);
        QCOMPARE(window->accessibleName(), QStringLiteral("ダウンロード"));
        QCOMPARE(window->cancelButton()->accessibleName(), QStringLiteral("キャンセル"));
        QCOMPARE(window->folderButton()->accessibleName(), QStringLiteral("フォルダを開く"));
        const QString target = s.downloads.filePath(QStringLiteral("a.iso"));
        s.transfers.rows = {{7, target, 500000, 2000000, 100000, TransferRow::State::Running, {}, {}}};
        emit s.transfers.changed(7);
        TransferListModel *model = window->model();
        QCOMPARE(model->text(0, TransferListModel::Name), QStringLiteral("a.iso"));
        QCOMPARE(model->text(0, TransferListModel::Progress), QStringLiteral("25% (500.0 KB / 2.0 MB)"));
        QCOMPARE(model->text(0, TransferListModel::TimeLeft), QStringLiteral("15秒"));
        window->table()->selectRow(0);
        QTest::mouseClick(window->cancelButton(), Qt::LeftButton);
        QCOMPARE(s.transfers.cancelled, QList<int>{7});
        QTest::mouseClick(window->folderButton(), Qt::LeftButton);
        QCOMPARE(s.fixture.instances[0]->shell.opened,
                 QStringList{QUrl::fromLocalFile(s.downloads.path()).toString()});

        QSignalSpy spoken(s.form->announcer(), &Announcer::announce);
        // A reason with an ampersand, read in the tool tip as it is shown: as one ampersand.
        const QString reason = QStringLiteral("送り手のファイルが変わりました (A&B)");
        s.transfers.rows[0].state = TransferRow::State::Failed;
        s.transfers.rows[0].reason = reason;
        emit s.transfers.failed(7, reason);
        QCOMPARE(model->text(0, TransferListModel::State), QStringLiteral("失敗: ") + reason);
        const QString tip =
            model->data(model->index(0, TransferListModel::State), Qt::ToolTipRole).toString();
        QVERIFY2(Qt::mightBeRichText(tip), qPrintable(tip));
        QTextDocument shown;
        shown.setHtml(tip);
        QCOMPARE(shown.toPlainText(), QStringLiteral("失敗: ") + reason);
        QVERIFY(!window->cancelButton()->isEnabled());
        const QString notice = lastEntry(*s.fixture.instances[0]);
        QVERIFY2(notice.contains(QStringLiteral("a.iso")) && notice.contains(reason), qPrintable(notice));
        QCOMPARE(spoken.size(), 1);
        QVERIFY2(spoken[0][0].toString().contains(reason), qPrintable(spoken[0][0].toString()));
    }

    void menuCommandsWaitForTheSharing()
    {
        LanWithInstances fixture({1});
        Form1 *form = fixture.instances[0]->form();
        for (const char *name : {"sendFiles", "receiveFiles", "showShares", "showTransfers"}) {
            QAction *action = form->findChild<QAction *>(QLatin1StringView(name));
            QVERIFY2(action && !action->isEnabled(), name);
        }
        QVERIFY(!form->sharesWindow());
        QVERIFY(!form->transfersWindow());
    }
};

QTEST_MAIN(TestShareWindows)
#include "tst_sharewindows.moc"
