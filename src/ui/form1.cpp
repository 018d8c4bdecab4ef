#include "form1.h"

#include "accessibility.h"
#include "announcer.h"
#include "app/messagebox.h"
#include "app/urlopener.h"
#include "app/windowservices.h"
#include "base/scheduler.h"
#include "droppointdialog.h"
#include "entrylistview.h"
#include "filedownloads.h"
#include "filesharing.h"
#include "filestrip.h"
#include "form2.h"
#include "form3.h"
#include "net/chatsession.h"
#include "net/entrylistmodel.h"
#include "participantlistview.h"
#include "savedialogs.h"
#include "share/safefilename.h"
#include "share/sharelinks.h"
#include "shareswindow.h"
#include "sharetexts.h"
#include "titleindicator.h"
#include "transferswindow.h"
#include "twips.h"

#include <QAccessible>
#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QShortcut>
#include <QWindow>
#include <memory>
#include <utility>

const QString Form1::authorHomePage = QStringLiteral("https://zumzum-chat.example.org/");

// Resources of a static library are registered by hand.
static void initIconResources()
{
    Q_INIT_RESOURCE(icons);
}

namespace {

constexpr int designClientWidth = 6510;
constexpr int designClientHeight = 3765;

// The rectangle, its bottom held to the given height.
QRect withinHeight(QRect rect, int height)
{
    rect.setHeight(std::clamp(height - rect.top(), 0, rect.height()));
    return rect;
}

} // namespace

Form1::Form1(const SettingsRecord &record, Services &services, ChatSession &session,
             SettingsChange::Apply applySettings, QWidget *parent)
    : QMainWindow(parent), m_record(record), m_services(services), m_session(&session),
      m_applySettings(std::move(applySettings))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(Title::created);
    initIconResources();
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/zumzum-32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/icons/zumzum-16.png"), QSize(16, 16));
    setWindowIcon(icon);

    m_indicator = new TitleIndicator(
        m_services.scheduler, [this] { return isMinimized(); }, this);
    connect(m_indicator, &TitleIndicator::titleChanged, this, &QWidget::setWindowTitle);
    connect(m_indicator, &TitleIndicator::newCountChanged, this, &Form1::updateAccessibleName);

    createControls();
    createMenu();

    connect(m_session, &ChatSession::popupRequested, this, &Form1::showPopup);
    // The line the user has just typed is not read back.
    connect(m_session, &ChatSession::ownLineArriving, this, [this] { ++m_rowsNotAnnounced; });

    m_announcer = new Announcer(m_services.scheduler, this);
    connect(m_announcer, &Announcer::announce, m_announcement, &AnnouncementLabel::announce);
    connect(m_session->chatLog(), &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { announceNewEntries(first, last); });
    connect(m_session, &ChatSession::chatLineLogged, this, [this] {
        m_indicator->start();
        m_indicator->countChatLine();
    });
    connect(m_session, &ChatSession::chatLogGrew, m_list1, &QAbstractItemView::scrollToBottom);
    connect(m_session, &ChatSession::participantsGrew, m_list2, &QAbstractItemView::scrollToBottom);
    connect(m_session, &ChatSession::newParticipantAnswered, m_indicator, &TitleIndicator::start);

    updateAccessibleName();
    load();
}

Form1::~Form1()
{
    delete m_form3;
}

Form3 *Form1::popup() const
{
    return m_form3;
}

Form2 *Form1::settingsDialog() const
{
    return m_form2;
}

void Form1::createControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);
    client->installEventFilter(this);

    m_text1 = new QLineEdit(client);
    m_text1->setObjectName(QStringLiteral("Text1"));
    m_text1->setAccessibleName(QStringLiteral("入力欄"));
    m_list1 = new EntryListView(client);
    m_list1->setObjectName(QStringLiteral("List1"));
    m_list1->setAccessibleName(QStringLiteral("チャットログ"));
    m_list1->setModel(m_session->chatLog());
    m_command1 = new QPushButton(QStringLiteral("Send"), client);
    m_command1->setObjectName(QStringLiteral("Command1"));
    m_command1->setAutoDefault(false);
    m_list2 = new ParticipantListView(client);
    m_list2->setObjectName(QStringLiteral("List2"));
    m_list2->setAccessibleName(QStringLiteral("参加者リスト"));
    m_list2->setModel(m_session->participants());
    m_label1 = new QLabel(QStringLiteral("参加者リスト"), client);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setAlignment(Qt::AlignCenter);
    m_label1->setBuddy(m_list2);
    m_check1 = new QCheckBox(QStringLiteral("選択のみ"), client);
    m_check1->setObjectName(QStringLiteral("Check1"));
    m_check1->setToolTip(QStringLiteral("参加者リストの選択者のみ送信します"));
    // The box is 13 px high; the style's indicator would be cut off at the bottom.
    m_check1->setStyleSheet(QStringLiteral("QCheckBox::indicator { width: 11px; height: 11px; }"));
    m_check1->installEventFilter(this);
    m_announcement = new AnnouncementLabel(client);
    m_files = new FileStrip(client);
    connect(m_files, &FileStrip::filesChanged, this, &Form1::applyControls);
    // Files dropped anywhere on the window, the input line included, wait to be sent.
    setAcceptDrops(true);
    m_text1->installEventFilter(this);
    m_text1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_text1, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        std::unique_ptr<QMenu> menu(createText1Menu());
        menu->exec(m_text1->mapToGlobal(at));
    });
    connect(m_list1, &QAbstractItemView::activated, this,
            [this](const QModelIndex &index) { activateEntry(index.row()); });
    connect(m_list1, &EntryListView::entryMenuRequested, this, &Form1::showEntryMenu);

    setTabOrder(m_text1, m_list1);
    setTabOrder(m_list1, m_command1);
    setTabOrder(m_command1, m_list2);
    setTabOrder(m_list2, m_check1);
    applyControls();

    connect(m_text1, &QLineEdit::returnPressed, this, &Form1::sendDecision);
    connect(m_command1, &QPushButton::clicked, this, &Form1::sendDecision);
    // Picking recipients with the mouse keeps the typing in the input line; Space on the box
    // leaves the focus where the keyboard user put it.
    connect(m_check1, &QCheckBox::clicked, m_text1, [this] {
        if (std::exchange(m_check1Clicked, false))
            m_text1->setFocus();
    });
    connect(m_list2, &QAbstractItemView::clicked, m_text1, [this] { m_text1->setFocus(); });
    m_text1->setFocus();
}

void Form1::createMenu()
{
    // Mnemonics (Alt+O, then S, T, E, H) underline a letter; the captions read as before.
    QMenu *opt = menuBar()->addMenu(QStringLiteral("&Option"));
    opt->setObjectName(QStringLiteral("opt"));
    const QString captions[5] = {QStringLiteral("&Set"), topCaption(false), QStringLiteral("-"),
                                 QStringLiteral("&End"), QStringLiteral("作者&HP")};
    for (int i = 0; i < 5; ++i) {
        m_setMM[i] = opt->addAction(captions[i]);
        m_setMM[i]->setObjectName(QStringLiteral("setMM%1").arg(i));
        m_setMM[i]->setSeparator(i == 2);
        connect(m_setMM[i], &QAction::triggered, this, [this, i] { setMMClick(i); });
    }
    // A screen reader says whether the window stays on top, as "Top" ticked or not; the caption
    // still names the next step.
    Accessibility::markAsCheckItem(m_setMM[1], QStringLiteral("Top"));
    // F10 opens the menu, as in most Linux programs.
    auto *f10 = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(f10, &QShortcut::activated, this, [this, opt] { menuBar()->setActiveAction(opt->menuAction()); });
    createHistoryMenu();
    createShareMenu();
}

void Form1::createHistoryMenu()
{
    m_historyMenu = menuBar()->addMenu(QStringLiteral("履歴"));
    m_historyMenu->setObjectName(QStringLiteral("historyMenu"));
    QAction *search = m_historyMenu->addAction(QStringLiteral("検索…"));
    search->setObjectName(QStringLiteral("historySearch"));
    search->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    connect(search, &QAction::triggered, this, &Form1::historySearchRequested);
    m_historyMenu->addSeparator();
    QAction *saving = m_historyMenu->addAction(QStringLiteral("履歴を保存する"));
    saving->setObjectName(QStringLiteral("historySaving"));
    saving->setCheckable(true);
    saving->setChecked(true);
    connect(saving, &QAction::triggered, this, &Form1::historySavingChosen);
    QMenu *keep = m_historyMenu->addMenu(QStringLiteral("保存期間"));
    keep->setObjectName(QStringLiteral("historyKeep"));
    auto *periods = new QActionGroup(keep);
    for (const auto &[caption, months] :
         {std::pair{u"1か月", 1}, std::pair{u"1年", 12}, std::pair{u"無期限", 0}}) {
        QAction *period = keep->addAction(QString::fromUtf16(caption));
        period->setObjectName(QStringLiteral("historyKeep%1").arg(months));
        period->setCheckable(true);
        period->setChecked(months == 12);
        period->setData(months);
        periods->addAction(period);
        connect(period, &QAction::triggered, this, [this, months] { emit historyKeepChosen(months); });
    }
    m_historyMenu->addSeparator();
    QAction *exportAll = m_historyMenu->addAction(QStringLiteral("書き出し…"));
    exportAll->setObjectName(QStringLiteral("historyExport"));
    connect(exportAll, &QAction::triggered, this, &Form1::historyExportRequested);
    QAction *clear = m_historyMenu->addAction(QStringLiteral("消去…"));
    clear->setObjectName(QStringLiteral("historyClear"));
    connect(clear, &QAction::triggered, this, &Form1::historyClearRequested);
}

void Form1::showHistorySettings(bool saving, int keepMonths, bool usable)
{
    for (QAction *action : m_historyMenu->findChildren<QAction *>()) {
        if (action->objectName() == QStringLiteral("historySaving"))
            action->setChecked(saving);
        else if (action->objectName().startsWith(QStringLiteral("historyKeep")))
            action->setChecked(action->data().toInt() == keepMonths);
        if (action->objectName() != QStringLiteral("historySearch"))
            action->setEnabled(usable);
    }
}

// Restores the saved outer geometry. The frame is known only once the window manager has mapped
// the window, so the size is fitted to it after showing.
void Form1::load()
{
    if (m_record.restoreGeometry != 1) {
        resize(Twips::toPixels(designClientWidth),
               Twips::toPixels(designClientHeight) + menuBar()->sizeHint().height());
        return;
    }
    m_restoredOuter = {Twips::clampPosition(m_record.winLeft), Twips::clampPosition(m_record.winTop),
                       Twips::clampSize(m_record.winWidth), Twips::clampSize(m_record.winHeight)};
    move(Twips::toPixels(m_restoredOuter.left), Twips::toPixels(m_restoredOuter.top));
    resize(Twips::toPixels(m_restoredOuter.width), Twips::toPixels(m_restoredOuter.height));
    m_restoring = true;
    m_fitPending = true;
}

void Form1::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    onResize();
    if (!m_restoring)
        return;
    m_restoring = false;
    // move() places the frame, resize() sets the client size: the saved outer size less the frame.
    whenFrameKnown(this, [this](QMargins frame) {
        m_fitPending = false;
        resize(std::max(1, Twips::toPixels(m_restoredOuter.width) - frame.left() - frame.right()),
               std::max(1, Twips::toPixels(m_restoredOuter.height) - frame.top() - frame.bottom()));
        move(Twips::toPixels(m_restoredOuter.left), Twips::toPixels(m_restoredOuter.top));
    });
}

WindowGeometryTwips Form1::outerGeometryTwips() const
{
    // Until the window is fitted to its frame, its own geometry is not yet the restored one.
    if (m_fitPending)
        return m_restoredOuter;
    QRect outer = frameGeometry();
    if (windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)) {
        const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
        outer = normalGeometry().marginsAdded(frame);
    }
    return {Twips::fromPixels(outer.x()), Twips::fromPixels(outer.y()), Twips::fromPixels(outer.width()),
            Twips::fromPixels(outer.height())};
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_text1) {
        // Files pasted or dropped on the input line wait in the strip: the line never gets their
        // file:// addresses as text.
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event) == QKeySequence::Paste) {
            if (pasteFiles())
                return true;
        } else if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
            auto *drag = static_cast<QDragMoveEvent *>(event);
            if (!localFiles(drag->mimeData()).isEmpty()) {
                drag->acceptProposedAction();
                return true;
            }
        } else if (event->type() == QEvent::Drop) {
            auto *drop = static_cast<QDropEvent *>(event);
            const QStringList files = localFiles(drop->mimeData());
            if (!files.isEmpty()) {
                drop->acceptProposedAction();
                addFilesToSend(files);
                return true;
            }
        }
    }
    if (watched == centralWidget() && event->type() == QEvent::Resize)
        onResize();
    // Only a click with the mouse on the check box sends the focus on to the input line.
    if (watched == m_check1) {
        if (event->type() == QEvent::MouseButtonRelease)
            m_check1Clicked = true;
        else if (event->type() == QEvent::KeyPress || event->type() == QEvent::MouseButtonPress)
            m_check1Clicked = false;
    }
    return QMainWindow::eventFilter(watched, event);
}

bool Form1::pasteFiles()
{
    const QStringList files = localFiles(QGuiApplication::clipboard()->mimeData());
    if (files.isEmpty())
        return false;
    addFilesToSend(files);
    return true;
}

QMenu *Form1::createText1Menu()
{
    QMenu *menu = m_text1->createStandardContextMenu();
    menu->setObjectName(QStringLiteral("text1Menu"));
    // The menu's paste puts files in the strip as Ctrl+V does, never their file:// text in the line.
    // Qt names the command "edit-paste" in later versions; before, only its shortcut tells it.
    const QString pasteKey =
        QLatin1Char('\t') + QKeySequence(QKeySequence::Paste).toString(QKeySequence::NativeText);
    const QList<QAction *> actions = menu->actions();
    const auto found = std::find_if(actions.cbegin(), actions.cend(), [&](const QAction *action) {
        return action->objectName() == QStringLiteral("edit-paste") || action->text().endsWith(pasteKey);
    });
    if (found != actions.cend()) {
        QAction *paste = *found;
        // A list of files with no text form is pasted too.
        paste->setEnabled(paste->isEnabled() ||
                          !localFiles(QGuiApplication::clipboard()->mimeData()).isEmpty());
        disconnect(paste, &QAction::triggered, nullptr, nullptr);
        connect(paste, &QAction::triggered, this, [this] {
            if (!pasteFiles())
                m_text1->paste();
        });
    }
    return menu;
}

void Form1::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    // Minimizing and restoring may leave the size as it was; the layout's title and count rules
    // still apply.
    if (event->type() == QEvent::WindowStateChange) {
        onResize();
        updateAccessibleName();
        if (!isMinimized())
            emit seen();
    }
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && !isMinimized())
        emit seen();
}

void Form1::openFromDesktop()
{
    if (m_leaving)
        return;
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void Form1::onResize()
{
    const QWidget *client = centralWidget();
    m_controls = layoutControls(float(Twips::fromPixels(client->width())),
                                float(Twips::fromPixels(client->height())), m_controls);
    applyControls();
    m_indicator->resetUnlessMinimized();
}

void Form1::applyControls()
{
    const ControlsGeometry &c = m_controls;
    // The lists' heights run 85 and 75 twips past the client area, which would hide half of the
    // newest row: they end at its bottom edge instead.
    const int clientHeight = centralWidget()->height();
    m_text1->setGeometry(Twips::rect(0, 0, c.text1Width, 315));
    // Files waiting to be sent take a row across the whole window, under the input line: the log
    // and the participant list with its label give up that much of their tops. The names stay
    // readable with two or three files at the window's first size.
    QRect list1 = Twips::rect(0, 330, c.list1Width, c.list1Height);
    QRect list2 = Twips::rect(c.list2Left, 510, c.list2Width, c.list2Height);
    QRect label1 = Twips::rect(c.label1Left, 300, 1215, 180);
    if (m_files && !m_files->isHidden()) {
        const int stripHeight = m_files->sizeHint().height();
        m_files->setGeometry(0, list1.y(), centralWidget()->width(), stripHeight);
        const int below = list1.y() + stripHeight + 2;
        list1.setTop(below);
        const int shift = below - label1.top();
        label1.translate(0, shift);
        list2.setTop(list2.top() + shift);
    }
    m_list1->setGeometry(withinHeight(list1, clientHeight));
    m_command1->setGeometry(Twips::rect(c.command1Left, 0, c.command1Width, c.command1Height));
    m_list2->setGeometry(withinHeight(list2, clientHeight));
    m_label1->setGeometry(label1);
    m_check1->setGeometry(Twips::rect(c.check1Left, 30, 1125, 195));
}

QString Form1::topCaption(bool on)
{
    return on ? QStringLiteral("No &Top") : QStringLiteral("&Top");
}

void Form1::applyTopMost(bool on)
{
    f_topMost(this, on);
    m_setMM[1]->setText(topCaption(on));
    m_setMM[1]->setChecked(on);
}

void Form1::setMMClick(int index)
{
    const bool t = m_record.topMost;
    switch (index) {
    case 0: {
        if (t)
            f_topMost(this, false);
        m_form2 = new Form2(m_record, m_applySettings, m_services.messages, this);
        m_form2->exec();
        const bool portChanged = m_form2 && m_form2->portChanged();
        delete m_form2;
        if (m_leaving)
            return;
        if (portChanged) {
            close();
            return;
        }
        if (t)
            f_topMost(this, true);
        break;
    }
    case 1:
        emit topMostChosen(!t);
        // The menu has closed by now: a screen reader hears the change here.
        m_announcer->stateChanged(!t ? QStringLiteral("Top: オン") : QStringLiteral("Top: オフ"));
        break;
    case 3: close(); break;
    case 4: m_services.urlOpener.openUrl(authorHomePage); break;
    default: break;
    }
}

void Form1::showPopup(const QString &name, const QString &text)
{
    if (!m_form3)
        m_form3 = new Form3(m_services.scheduler);
    // A popup that appears is heard, and its log row is then not announced as well; one that is
    // already up only changes its text, and the log row speaks for the line.
    if (!m_form3->isVisible())
        ++m_rowsNotAnnounced;
    m_form3->setMessage(name, text);
    m_form3->show();
}

void Form1::announceNewEntries(int first, int last)
{
    // Nothing to do for a flood while no screen reader listens.
    const int notAnnounced = std::exchange(m_rowsNotAnnounced, 0);
    if (!QAccessible::isActive() || m_outcomeSpoken)
        return;
    for (int row = first + notAnnounced; row <= last; ++row)
        m_announcer->lineArrived(EntryListModel::spokenLine(m_session->chatLog()->at(row)));
}

// The window's name for a screen reader: the plain title, with the count while minimized, never
// a frame of the marquee.
void Form1::updateAccessibleName()
{
    setAccessibleName(isMinimized() ? Title::countPrefix(m_indicator->newCount()) + Title::plain
                                    : Title::plain);
}

void Form1::sendDecision()
{
    const QString text = m_text1->text();
    if (!text.isEmpty()) {
        if (!sendLine(text))
            return;
        m_text1->clear();
    }
    // Each file is a line of its own, to the same people a typed line would go to.
    if (m_sharing && !m_files->files().isEmpty()) {
        const QStringList recipients = chosenAddresses();
        const QList<FileStrip::File> files = m_files->files();
        int sent = 0;
        for (int i = 0; i < files.size(); ++i) {
            // Kept in the strip until its line went out, so that nothing is lost on a failure.
            const FileSharing::Offer offer = m_sharing->offer(files[i].path, m_files->lifetime(), recipients);
            if (offer.line.isEmpty()) {
                m_session->logNotice(
                    QStringLiteral("「%1」を共有できませんでした: %2").arg(files[i].name, offer.error));
                continue;
            }
            if (!sendLine(offer.line))
                break;
            m_files->removeAt(i - sent++);
        }
    }
    m_text1->setFocus();
}

QStringList Form1::sendToChosen(const QString &text)
{
    return m_check1->isChecked() ? m_session->s_listSend(text, m_list2->selectedRows())
                                 : m_session->s_sendData(text);
}

QStringList Form1::chosenAddresses() const
{
    QStringList addresses;
    if (m_check1->isChecked()) {
        for (int row : m_list2->selectedRows())
            addresses.append(m_session->participants()->address(row));
    }
    return addresses;
}

QString Form1::participantName(const QString &address) const
{
    const ParticipantListModel *participants = m_session->participants();
    const int row = participants->f_listChk(address);
    return row < 0 ? QString() : participants->name(row);
}

bool Form1::sendLine(const QString &text)
{
    const QStringList failures = sendToChosen(text);
    if (failures.isEmpty())
        return true;
    m_services.messages.critical(
        this, QStringLiteral("送信エラー"),
        QStringLiteral("送信できませんでした。\n%1\n入力した文は消さずに残してあります。"
                       "ネットワークの接続を確かめてから、もう一度送ってください。")
            .arg(failures.join(QLatin1Char('\n'))));
    m_text1->setFocus();
    return false;
}

void Form1::createShareMenu()
{
    m_shareMenu = menuBar()->addMenu(QStringLiteral("ファイル"));
    m_shareMenu->setObjectName(QStringLiteral("shareMenu"));
    QAction *send = m_shareMenu->addAction(QStringLiteral("ファイルを送る…"));
    send->setObjectName(QStringLiteral("sendFiles"));
    send->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    connect(send, &QAction::triggered, this, [this] {
        if (m_saveDialogs)
            addFilesToSend(m_saveDialogs->filesToSend(this));
    });
    QAction *receive = m_shareMenu->addAction(QStringLiteral("ファイルを受け取る…"));
    receive->setObjectName(QStringLiteral("receiveFiles"));
    receive->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
    connect(receive, &QAction::triggered, this, &Form1::askForDropPoint);
    m_shareMenu->addSeparator();
    QAction *shares = m_shareMenu->addAction(QStringLiteral("共有中のファイル…"));
    shares->setObjectName(QStringLiteral("showShares"));
    connect(shares, &QAction::triggered, this, [this] {
        if (SharesWindow *window = sharesWindow()) {
            window->show();
            window->raise();
            window->activateWindow();
        }
    });
    QAction *transfers = m_shareMenu->addAction(QStringLiteral("ダウンロード…"));
    transfers->setObjectName(QStringLiteral("showTransfers"));
    transfers->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_J));
    connect(transfers, &QAction::triggered, this, [this] {
        if (TransfersWindow *window = transfersWindow()) {
            window->show();
            window->raise();
            window->activateWindow();
        }
    });
    // Nothing to do until the sharing is there.
    for (QAction *action : m_shareMenu->actions())
        action->setEnabled(false);
}

DropPointDialog *Form1::dropPointDialog() const
{
    return m_dropPointDialog;
}

bool Form1::nobodyChosen(const QString &title)
{
    if (!m_check1->isChecked() || !m_list2->selectedRows().isEmpty())
        return false;
    m_services.messages.critical(
        this, title,
        QStringLiteral("「選択のみ」なのに、参加者リストで誰も選ばれていません。\n"
                       "ファイルを送ってもらう相手を選ぶか、「選択のみ」を外してください。"));
    return true;
}

// The question is window-modal and does not block: the chat goes on meanwhile.
void Form1::askForDropPoint()
{
    if (!m_sharing || !m_saveDialogs || m_leaving)
        return;
    if (m_dropPointDialog) {
        m_dropPointDialog->raise();
        m_dropPointDialog->activateWindow();
        return;
    }
    if (nobodyChosen(QStringLiteral("ファイルを受け取る")))
        return;
    const QStringList senders = chosenAddresses();
    m_dropPointDialog = new DropPointDialog(
        m_saveDialogs->downloadFolder(),
        ShareTexts::people(senders, [this](const QString &address) { return participantName(address); }),
        this);
    m_dropPointDialog->setAttribute(Qt::WA_DeleteOnClose);
    DropPointDialog *dialog = m_dropPointDialog;
    connect(dialog, &QDialog::accepted, this,
            [this, dialog] { openDropPoint(dialog->lifetime(), dialog->sizeLimit()); });
    dialog->open();
}

void Form1::openDropPoint(ShareLifetime lifetime, qint64 sizeLimit)
{
    const QString title = QStringLiteral("ファイルを受け取る");
    // Who may send is read when the link goes out, from the same list the line goes to.
    if (m_leaving || nobodyChosen(title))
        return;
    const FileSharing::DropPointOffer offer = m_sharing->openDropPoint(
        m_saveDialogs->downloadFolder(), lifetime, chosenAddresses(), m_record.userName, sizeLimit);
    if (offer.line.isEmpty()) {
        m_services.messages.critical(
            this, title,
            QStringLiteral("ファイルの受け取り口を開けませんでした。リンクは送っていません。\n%1")
                .arg(offer.error));
        return;
    }
    const QStringList failures = sendToChosen(offer.line);
    if (!failures.isEmpty()) {
        // Nobody has the link: the drop point would only wait for a guess.
        m_sharing->stopDropPoint(offer.code);
        m_services.messages.critical(
            this, title,
            QStringLiteral("受け取り口のリンクを送れませんでした。\n%1\n受け取り口は閉じました。"
                           "ネットワークの接続を確かめてから、もう一度開いてください。")
                .arg(failures.join(QLatin1Char('\n'))));
    }
    m_text1->setFocus();
}

void Form1::attachSharing(FileSharing &sharing, FileDownloads &downloads, SaveDialogs &dialogs)
{
    m_sharing = &sharing;
    m_downloads = &downloads;
    m_saveDialogs = &dialogs;
    for (QAction *action : m_shareMenu->actions())
        action->setEnabled(true);
    connect(m_downloads, &FileDownloads::finished, this, [this](int, const QString &path) {
        tellOutcome(QStringLiteral("ダウンロードが終わりました: %1").arg(QDir::toNativeSeparators(path)));
    });
    connect(m_downloads, &FileDownloads::failed, this, [this](int id, const QString &reason) {
        QString name;
        for (const TransferRow &t : m_downloads->transfers()) {
            if (t.id == id)
                name = QFileInfo(t.target).fileName();
        }
        tellOutcome(QStringLiteral("ダウンロードできませんでした: %1 (%2)").arg(name, reason));
    });
    // Only in this user's own log: nothing of it goes to the network.
    connect(m_sharing, &FileSharing::fileReceived, this,
            [this](const QString &name, qint64 size, const QString &from, const QString &folder) {
                tellArrival(ShareTexts::received(participantName(from), from, name, size, folder));
            });
    connect(m_sharing, &FileSharing::uploadFailed, this,
            [this](const QString &name, const QString &reason, const QString &folder) {
                tellArrival(ShareTexts::receiveFailed(name, reason, folder));
            });
}

// A download's outcome is spoken whether or not the log's lines are, and once: the log row that
// shows it is not announced again.
void Form1::tellOutcome(const QString &text)
{
    m_announcer->stateChanged(text);
    const QScopedValueRollback quiet(m_outcomeSpoken, true);
    m_session->logNotice(text);
}

// Files arriving in a burst are spoken as their count and the newest, as chat lines are.
void Form1::tellArrival(const QString &text)
{
    m_announcer->lineArrived(text);
    const QScopedValueRollback quiet(m_outcomeSpoken, true);
    m_session->logNotice(text);
}

QStringList Form1::localFiles(const QMimeData *data)
{
    QStringList files;
    if (!data || !data->hasUrls())
        return files;
    for (const QUrl &url : data->urls()) {
        if (url.isLocalFile())
            files.append(url.toLocalFile());
    }
    return files;
}

void Form1::dragEnterEvent(QDragEnterEvent *event)
{
    if (!localFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void Form1::dropEvent(QDropEvent *event)
{
    const QStringList files = localFiles(event->mimeData());
    if (files.isEmpty())
        return;
    event->acceptProposedAction();
    addFilesToSend(files);
}

void Form1::addFilesToSend(const QStringList &paths)
{
    if (paths.isEmpty())
        return;
    if (!m_sharing) {
        m_session->logNotice(QStringLiteral("ファイルの共有が使えないため、ファイルは送れません。"));
        return;
    }
    for (const QString &refusal : m_files->addFiles(paths))
        m_session->logNotice(refusal);
    m_text1->setFocus();
}

QList<ShareLinks::FoundLink> Form1::linksOfEntry(int row, QString &entry) const
{
    if (row < 0 || row >= m_session->chatLog()->size())
        return {};
    entry = m_session->chatLog()->at(row);
    return ShareLinks::find(entry);
}

void Form1::activateEntry(int row)
{
    QString entry;
    const QList<ShareLinks::FoundLink> links = linksOfEntry(row, entry);
    if (links.isEmpty())
        return;
    if (!links.first().code.isEmpty())
        saveLink(entry, 0);
    else
        m_services.urlOpener.openUrl(links.first().url.toString());
}

void Form1::saveLink(const QString &entry, int link)
{
    const ShareLinks::FoundLink span = ShareLinks::find(entry).at(link);
    if (!m_downloads || !m_saveDialogs) {
        m_session->logNotice(QStringLiteral("ファイルの共有が使えないため、保存できません。"));
        return;
    }
    // One question at a time: a second Enter while the sender answers opens no second dialog.
    if (m_askingName)
        return;
    m_askingName = true;
    // The line's name is cut and has its "-Only" disguised; the sender knows the real one.
    QString name = ShareLinks::sharedName(entry, span);
    if (name.isEmpty())
        name = span.code;
    const QUrl url = span.url;
    m_downloads->proposedName(url, name, [self = QPointer<Form1>(this), url](const QString &answer) {
        if (!self)
            return;
        self->m_askingName = false;
        if (!self->m_leaving)
            self->askWhereToSave(url, answer);
    });
}

void Form1::askWhereToSave(const QUrl &url, const QString &name)
{
    const QString proposed =
        SafeFileName::uniquePath(m_saveDialogs->downloadFolder(), SafeFileName::baseName(name));
    const QString target = m_saveDialogs->saveFileName(this, proposed);
    if (target.isEmpty())
        return;
    m_downloads->start(url, target);
}

void Form1::showEntryMenu(int row, const QPoint &globalPos)
{
    QString entry;
    const QList<ShareLinks::FoundLink> links = linksOfEntry(row, entry);
    if (links.isEmpty())
        return;
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("linkMenu"));
    for (int i = 0; i < links.size(); ++i) {
        if (i > 0)
            menu.addSeparator();
        // With several links each command names its own.
        const QString which =
            links.size() > 1 ? QStringLiteral(": %1").arg(links[i].url.toString()) : QString();
        if (!links[i].code.isEmpty()) {
            connect(menu.addAction(QStringLiteral("保存…") + which), &QAction::triggered, this,
                    [this, entry, i] { saveLink(entry, i); });
        } else {
            const QString url = links[i].url.toString();
            connect(menu.addAction(QStringLiteral("リンクを開く") + which), &QAction::triggered, this,
                    [this, url] { m_services.urlOpener.openUrl(url); });
        }
        const QString text = links[i].url.toString();
        connect(menu.addAction(QStringLiteral("リンクをコピー") + which), &QAction::triggered, this,
                [text] { QGuiApplication::clipboard()->setText(text); });
    }
    menu.exec(globalPos);
}

SharesWindow *Form1::sharesWindow()
{
    if (!m_sharesWindow && m_sharing) {
        m_sharesWindow = new SharesWindow(
            *m_sharing, m_services.scheduler,
            [this](const QString &address) { return participantName(address); }, this);
    }
    return m_sharesWindow;
}

TransfersWindow *Form1::transfersWindow()
{
    if (!m_transfersWindow && m_downloads)
        m_transfersWindow =
            new TransfersWindow(*m_downloads, m_services.scheduler, m_services.urlOpener, this);
    return m_transfersWindow;
}

void Form1::closeEvent(QCloseEvent *event)
{
    // Closing is never cancelled, whatever its reason.
    event->accept();
    if (m_leaving)
        return;
    m_leaving = true;
    emit closed();
}

void Form1::prepareToLeave()
{
    m_indicator->blockSignals(true);
    if (m_form3)
        m_form3->close();
    if (m_form2)
        m_form2->reject();
    if (m_dropPointDialog)
        m_dropPointDialog->reject();
}
