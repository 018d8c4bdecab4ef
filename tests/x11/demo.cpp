// zumzum-demo: three chat instances in one process on the in-memory LAN, for the real-window tests
// and the screenshots. Only the first instance's window ("山田") is shown; the others stay hidden.
// Never touches the real network.
//
// Options:
//   --appfolder DIR   the shown instance's program folder (set.txt); a temporary folder otherwise
//   --top             "Top" once the chat is in place
//   --settings        opens the settings dialog once the chat is in place
//   --popup           a selected-only line from 佐藤 to 山田 once the chat is in place
//   --share           files waiting to be sent, a share link in the log, and the windows
//                     "共有中のファイル" and "ダウンロード" with rows (for the screenshots)
//   --close-when-framed  closes the window the moment the window manager has framed it, before
//                     the program has fitted the restored size to the frame
// Commands on stdin, one a line; the n-th command is answered by one line "n <command> ...":
//   geometry          the window, its client area and the controls, in pixels of the window
//   state             always-on-top, the "Top" item's caption, the input line, dialog, popup,
//                     open menu, title (texts percent-encoded) and whether the title scrolls
//   dialog            the settings dialog's window, "No" button and name box, or "none"
//   top | set | end   the menu items "Top", "Set" and "End" (as a click on them)
//   settings          "Set", answered once the dialog is shown, with its window and buttons
//   popup             a selected-only line from 佐藤 to 山田, answered once the popup is shown
//   close             closes the window as its close box does
//   focus             the objectName of the widget with the keyboard focus, or "none"
// Line 0 is "ready ..." once the chat is in place, "finished" when the window has closed.

#include "base/systemscheduler.h"
#include "desktop/applicationfonts.h"
#include "desktop/desktopurlopener.h"
#include "desktop/terminationsignals.h"
#include "instance.h"
#include "net/chatsession.h"
#include "printingmessagebox.h"
#include "printingurlopener.h"
#include "recordingfiledownloads.h"
#include "recordingfilesharing.h"
#include "recordingsavedialogs.h"
#include "scriptedclock.h"
#include "ui/droppointdialog.h"
#include "ui/entrylistview.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/form3.h"
#include "ui/participantlistview.h"
#include "ui/shareswindow.h"
#include "ui/titleindicator.h"
#include "ui/transferswindow.h"
#include "virtuallan.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

void say(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

QString text(const QRect &r)
{
    return QStringLiteral("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

QString windowId(const QWidget *window)
{
    return QStringLiteral("0x%1").arg(quint64(window->winId()), 0, 16);
}

// Steps that wait for a condition and then act, polled on the event loop; a condition that does
// not come true within the limit ends the program with an error.
class Script
{
public:
    struct Step
    {
        QString what;
        std::function<bool()> ready;
        std::function<void()> act;
    };

    Script()
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
    }

    void add(const QString &what, std::function<bool()> ready, std::function<void()> act)
    {
        m_steps.push_back({what, std::move(ready), std::move(act)});
        if (!m_timer.isActive()) {
            m_waited.start();
            m_timer.start();
        }
    }

private:
    void poll()
    {
        while (!m_steps.empty()) {
            Step &step = m_steps.front();
            if (!step.ready()) {
                if (m_waited.elapsed() > 30000) {
                    say(QStringLiteral("error timed out waiting for: %1").arg(step.what));
                    QCoreApplication::exit(2);
                    m_timer.stop();
                }
                return;
            }
            const auto act = std::move(step.act);
            m_steps.pop_front();
            m_waited.start();
            // The action may open a modal dialog; the next steps are polled from its loop.
            if (act)
                act();
        }
        m_timer.stop();
    }

    std::deque<Step> m_steps;
    QTimer m_timer;
    QElapsedTimer m_waited;
};

int participantRow(const Instance &instance, const QString &address)
{
    const QStringList &entries = instance.session()->participants()->entries();
    for (int row = 0; row < entries.size(); ++row) {
        if (entries.at(row).endsWith(QLatin1Char('\t') + address))
            return row;
    }
    return -1;
}

// Types the line into the instance's input line and presses "Send", to everybody or, when
// recipients are given, with "選択のみ" ticked to those participants only.
void send(Instance &from, const QString &line, const QStringList &recipients = {})
{
    Form1 *window = from.form();
    window->check1()->setChecked(!recipients.isEmpty());
    QItemSelectionModel *selection = window->list2()->selectionModel();
    selection->clearSelection();
    for (const QString &address : recipients)
        selection->select(window->list2()->model()->index(participantRow(from, address), 0),
                          QItemSelectionModel::Select);
    window->text1()->setText(line);
    window->command1()->click();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zumzum-demo"));
    QApplication::setQuitOnLastWindowClosed(false);
    // The fonts the program uses.
    setUpApplicationFonts();

    const QStringList arguments = QApplication::arguments();
    QString appFolder;
    const qsizetype folderArgument = arguments.indexOf(QStringLiteral("--appfolder"));
    if (folderArgument > 0 && folderArgument + 1 < arguments.size())
        appFolder = arguments.at(folderArgument + 1);
    const bool topAtStart = arguments.contains(QStringLiteral("--top"));
    const bool settingsAtStart = arguments.contains(QStringLiteral("--settings"));
    const bool popupAtStart = arguments.contains(QStringLiteral("--popup"));
    const bool shareAtStart = arguments.contains(QStringLiteral("--share"));
    const bool receiveAtStart = arguments.contains(QStringLiteral("--receive"));
    const bool closeWhenFramed = arguments.contains(QStringLiteral("--close-when-framed"));
    // The desktop's real opener for the first instance's "作者HP", instead of printing the address.
    const bool desktopShell = arguments.contains(QStringLiteral("--desktop-shell"));

    QTemporaryDir folders;
    if (!folders.isValid()) {
        say(QStringLiteral("error no temporary folder: %1").arg(folders.errorString()));
        return 2;
    }
    const auto folderOf = [&](const QString &name) {
        const QString path = folders.filePath(name);
        QDir().mkpath(path);
        return path;
    };

    VirtualLan lan;
    PrintingMessageBox messages(stdout);
    ScriptedClock clock;
    PrintingUrlOpener shell(stdout);
    SystemScheduler scheduler;
    DesktopUrlOpener opener;

    const QString yamadaIp = QStringLiteral("198.18.0.1");
    const QString satoIp = QStringLiteral("198.18.0.2");
    const QString suzukiIp = QStringLiteral("198.18.0.3");
    Instance yamada(lan, yamadaIp, QStringLiteral("山田"),
                    appFolder.isEmpty() ? folderOf(QStringLiteral("yamada")) : appFolder, messages, clock,
                    desktopShell ? static_cast<UrlOpener &>(opener) : shell, scheduler);
    Instance sato(lan, satoIp, QStringLiteral("佐藤"), folderOf(QStringLiteral("sato")), messages, clock,
                  shell, scheduler);
    Instance suzuki(lan, suzukiIp, QStringLiteral("鈴木"), folderOf(QStringLiteral("suzuki")), messages,
                    clock, shell, scheduler);

    if (!yamada.start())
        return 1;
    Form1 *form1 = yamada.form();
    std::function<void()> showSharing;
    std::function<void()> askToReceive;
    QObject::connect(&yamada.module(), &Module1::finished, &application, [] {
        say(QStringLiteral("0 finished"));
        QCoreApplication::quit();
    });
    for (Instance *other : {&sato, &suzuki}) {
        if (!other->start())
            return 1;
        other->form()->hide();
        // They stand for other machines: their popups would appear on this screen.
        QObject::disconnect(other->session(), &ChatSession::popupRequested, other->form(), nullptr);
    }
    form1->activateWindow();

    closeOnTerminationSignals(form1);

    if (closeWhenFramed) {
        // Polled far more often than the window's own wait for its frame, so the close comes first.
        auto *framed = new QTimer(&application);
        QObject::connect(framed, &QTimer::timeout, form1, [form1, framed] {
            if (form1->windowHandle() && !form1->windowHandle()->frameMargins().isNull()) {
                framed->stop();
                form1->close();
            }
        });
        framed->start(1);
    }

    const auto logSize = [&yamada] { return yamada.session()->chatLog()->size(); };
    const auto logEndsWith = [&yamada](const QString &part) {
        const QStringList &log = yamada.session()->chatLog()->entries();
        return !log.isEmpty() && log.last().contains(part);
    };
    const auto screenRect = [form1] {
        // The work area: what "centred on the screen" is measured against.
        const QScreen *screen = form1->screen();
        return screen ? screen->availableGeometry() : QRect();
    };

    const auto geometryLine = [form1, screenRect] {
        QString line = QStringLiteral("window=%1 frame=%2 client=%3")
                           .arg(text(QRect(QPoint(0, 0), form1->size())), text(form1->frameGeometry()),
                                text(QRect(form1->centralWidget()->mapTo(form1, QPoint(0, 0)),
                                           form1->centralWidget()->size())));
        for (QWidget *control : std::initializer_list<QWidget *>{
                 form1->text1(), form1->list1(), form1->command1(), form1->list2(),
                 form1->findChild<QWidget *>(QStringLiteral("Label1")), form1->check1()}) {
            line += QStringLiteral(" %1=%2").arg(
                control->objectName(), text(QRect(control->mapTo(form1, QPoint(0, 0)), control->size())));
        }
        const QMenu *opt = form1->findChild<QMenu *>(QStringLiteral("opt"));
        const QRect optRect = form1->menuBar()->actionGeometry(opt->menuAction());
        line += QStringLiteral(" menu=%1")
                    .arg(text(QRect(form1->menuBar()->mapTo(form1, optRect.topLeft()), optRect.size())));
        line += QStringLiteral(" screen=%1").arg(text(screenRect()));
        return line;
    };

    const auto selectedOnlyToYamada = [&](Script &script, const std::function<void()> &then) {
        const int before = logSize();
        script.add(
            QStringLiteral("佐藤 lists 山田"), [&] { return participantRow(sato, yamadaIp) >= 0; },
            [&] { send(sato, QStringLiteral("山田さん、あとで少し相談させてください"), {yamadaIp}); });
        script.add(
            QStringLiteral("the popup"),
            [&, before] { return logSize() > before && form1->popup() && form1->popup()->isVisible(); },
            then);
    };

    Script script;
    const auto popupLine = [form1, screenRect] {
        Form3 *popup = form1->popup();
        return QStringLiteral("wid=%1 frame=%2 label=%3 screen=%4")
            .arg(windowId(popup), text(popup->frameGeometry()), popup->label()->text(), text(screenRect()));
    };
    const auto settingsLine = [form1, screenRect] {
        Form2 *dialog = form1->settingsDialog();
        return QStringLiteral("wid=%1 frame=%2 geometry=%3 no=%4 screen=%5 name=%6")
            .arg(windowId(dialog), text(dialog->frameGeometry()), text(dialog->geometry()),
                 text(QRect(dialog->command2()->mapTo(dialog, QPoint(0, 0)), dialog->command2()->size())),
                 text(screenRect()), QString::fromLatin1(QUrl::toPercentEncoding(dialog->text1()->text())));
    };
    const auto openSettings = [&](int n) {
        // Deferred: "Set" runs the dialog's own loop until it closes.
        QTimer::singleShot(0, form1, [form1] { form1->setMM(0)->trigger(); });
        script.add(
            QStringLiteral("the settings dialog"),
            [form1] { return form1->settingsDialog() && form1->settingsDialog()->isVisible(); },
            [n, settingsLine] { say(QStringLiteral("%1 settings %2").arg(n).arg(settingsLine())); });
    };

    // The chat: everybody present, lines from the others, one from 山田 to everybody and one to
    // 佐藤 only.
    const auto everybodyListed = [&] {
        for (const Instance *instance : {&yamada, &sato, &suzuki}) {
            for (const QString &address : {yamadaIp, satoIp, suzukiIp}) {
                // An instance does not list itself.
                if (address != instance->host().address().toString() &&
                    participantRow(*instance, address) < 0)
                    return false;
            }
        }
        return true;
    };
    struct Line
    {
        Instance *from;
        QString text;
        QStringList to;
    };
    const std::vector<Line> chat = {
        {&sato, QStringLiteral("おはようございます。今日の打ち合わせは10時からです"), {}},
        {&suzuki, QStringLiteral("了解しました！資料を準備しておきます"), {}},
        {&yamada, QStringLiteral("よろしくお願いします。会議室は3階です"), {}},
        {&sato, QStringLiteral("プロジェクターの予約もお願いできますか？"), {}},
        {&yamada, QStringLiteral("佐藤さん、予約済みです"), {satoIp}},
        {&suzuki, QStringLiteral("ありがとうございます。では後ほど"), {}},
    };
    script.add(QStringLiteral("everybody listed everywhere"), everybodyListed, {});
    for (const Line &line : chat) {
        script.add(
            QStringLiteral("the line before \"%1\"").arg(line.text), [] { return true; },
            [line] { send(*line.from, line.text, line.to); });
        script.add(QStringLiteral("\"%1\" in 山田's log").arg(line.text),
                   [logEndsWith, line] { return logEndsWith(line.text); }, {});
    }
    // 山田 keeps the state of his last selected-only line: "選択のみ" ticked, 佐藤 selected.
    script.add(
        QStringLiteral("the window shown and framed"),
        [form1] {
            return form1->isVisible() && form1->windowHandle() && form1->windowHandle()->isExposed() &&
                   !form1->windowHandle()->frameMargins().isNull();
        },
        [&] {
            form1->text1()->setFocus();
            say(QStringLiteral("0 ready wid=%1 %2").arg(windowId(form1), geometryLine()));
            if (topAtStart)
                form1->setMM(1)->trigger();
            if (popupAtStart)
                selectedOnlyToYamada(script,
                                     [popupLine] { say(QStringLiteral("0 popup %1").arg(popupLine())); });
            if (settingsAtStart)
                openSettings(0);
            if (shareAtStart)
                showSharing();
            if (receiveAtStart)
                askToReceive();
        });

    RecordingFileSharing sharing;
    RecordingFileDownloads downloads;
    RecordingSaveDialogs saveDialogs;
    QTemporaryDir shareFolder;
    showSharing = [&] {
        form1->attachSharing(sharing, downloads, saveDialogs);
        const qint64 sizes[] = {2400000, 183000};
        const QString names[] = {QStringLiteral("見積書_v3.xlsx"), QStringLiteral("議事録 2026-01.pdf")};
        QStringList paths;
        for (int i = 0; i < 2; ++i) {
            QFile file(shareFolder.filePath(names[i]));
            if (file.open(QIODevice::WriteOnly))
                file.resize(sizes[i]);
            paths.append(file.fileName());
        }
        form1->addFilesToSend(paths);
        form1->session()->logNotice(QStringLiteral(
            "佐藤>[ファイル] 設計図.pdf (4.3 MB) http://198.18.0.2:50012/f/K7QXM2PDA9 （24時間有効）"));
        form1->session()->logNotice(
            QStringLiteral("鈴木>手順は https://zumzum-chat.example.org/wiki を見てください"));
        sharing.rows = {{QStringLiteral("K7QXM2PDA9"),
                         QStringLiteral("報告書.docx"),
                         1250000,
                         {},
                         3,
                         1,
                         400000,
                         1250000,
                         20 * 3600000},
                        {QStringLiteral("Q2WERTY789"),
                         QStringLiteral("写真.zip"),
                         52000000,
                         {QStringLiteral("198.18.0.2")},
                         0,
                         0,
                         0,
                         0,
                         -1}};
        downloads.rows = {{1,
                           QStringLiteral("/home/yamada/ダウンロード/設計図.pdf"),
                           1800000,
                           4300000,
                           2500000,
                           TransferRow::State::Running,
                           {},
                           {}},
                          {2,
                           QStringLiteral("/home/yamada/ダウンロード/資料.zip"),
                           700000,
                           9000000,
                           0,
                           TransferRow::State::Failed,
                           QStringLiteral("送り手のファイルが変わりました"),
                           {}},
                          {3,
                           QStringLiteral("/home/yamada/ダウンロード/メモ.txt"),
                           1200,
                           1200,
                           0,
                           TransferRow::State::Finished,
                           {},
                           {}},
                          {-1,
                           QStringLiteral("/home/yamada/ダウンロード/図面_改訂.pdf"),
                           3100000,
                           8000000,
                           1500000,
                           TransferRow::State::Running,
                           {},
                           satoIp}};
        sharing.dropRows = {{QStringLiteral("M4NBV6CX2Z"),
                             QStringLiteral("http://198.18.0.1:50012/u/M4NBV6CX2Z"),
                             {satoIp},
                             2,
                             QStringLiteral("図面_最終.pdf"),
                             50 * 60000}};
        form1->sharesWindow()->move(form1->frameGeometry().bottomLeft() + QPoint(0, 10));
        form1->sharesWindow()->show();
        form1->transfersWindow()->move(form1->frameGeometry().topRight() + QPoint(10, 0));
        form1->transfersWindow()->show();
        say(QStringLiteral("0 share main=%1 shares=%2 transfers=%3")
                .arg(windowId(form1), windowId(form1->sharesWindow()), windowId(form1->transfersWindow())));
    };

    // The question before a drop point opens, for 佐藤, who is selected with "選択のみ" ticked.
    askToReceive = [&] {
        saveDialogs.folder = QStringLiteral("/home/yamada/ダウンロード");
        form1->attachSharing(sharing, downloads, saveDialogs);
        form1->findChild<QAction *>(QStringLiteral("receiveFiles"))->trigger();
        QWidget *dialog = form1->dropPointDialog();
        say(QStringLiteral("0 receive dialog=%1").arg(windowId(dialog)));
    };

    int commandCount = 0;
    auto *input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &application);
    QByteArray pending;
    QObject::connect(input, &QSocketNotifier::activated, &application, [&] {
        char buffer[4096];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            input->setEnabled(false);
            return;
        }
        pending.append(buffer, got);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString command = QString::fromUtf8(pending.left(end)).trimmed();
            pending.remove(0, end + 1);
            const int n = ++commandCount;
            const auto answer = [n, command](const QString &rest) {
                say(QStringLiteral("%1 %2 %3").arg(n).arg(command, rest));
            };
            if (command == QLatin1String("geometry")) {
                answer(geometryLine());
            } else if (command == QLatin1String("state")) {
                const Form2 *dialog = form1->settingsDialog();
                const Form3 *popup = form1->popup();
                const QWidget *menu = QApplication::activePopupWidget();
                const auto encoded = [](const QString &value) {
                    return QString::fromLatin1(QUrl::toPercentEncoding(value));
                };
                answer(
                    QStringLiteral(
                        "wid=%1 top=%2 caption=%3 text1=%4 settings=%5 popup=%6 menu=%7 title=%8 marquee=%9")
                        .arg(windowId(form1))
                        .arg(int(yamada.record().topMost))
                        .arg(encoded(form1->setMM(1)->iconText()), encoded(form1->text1()->text()),
                             dialog && dialog->isVisible() ? windowId(dialog) : QStringLiteral("none"),
                             popup && popup->isVisible() ? windowId(popup) : QStringLiteral("none"),
                             menu ? menu->objectName() : QStringLiteral("none"),
                             encoded(form1->windowTitle()),
                             form1->indicator()->marqueeRunning() ? QStringLiteral("1")
                                                                  : QStringLiteral("0")));
            } else if (command == QLatin1String("dialog")) {
                const Form2 *dialog = form1->settingsDialog();
                answer(dialog && dialog->isVisible() ? settingsLine() : QStringLiteral("none"));
            } else if (command == QLatin1String("top")) {
                form1->setMM(1)->trigger();
                answer(QStringLiteral("caption=%1").arg(form1->setMM(1)->iconText()));
            } else if (command == QLatin1String("set") || command == QLatin1String("settings")) {
                openSettings(n);
            } else if (command == QLatin1String("end")) {
                answer(QString());
                form1->setMM(3)->trigger();
            } else if (command == QLatin1String("popup")) {
                selectedOnlyToYamada(script, [answer, popupLine] { answer(popupLine()); });
            } else if (command == QLatin1String("focus")) {
                const QWidget *focused = QApplication::focusWidget();
                answer(QStringLiteral("widget=%1")
                           .arg(focused ? focused->objectName() : QStringLiteral("none")));
            } else if (command == QLatin1String("close")) {
                answer(QString());
                form1->close();
            } else if (!command.isEmpty()) {
                answer(QStringLiteral("error unknown command"));
            }
        }
    });

    return application.exec();
}
