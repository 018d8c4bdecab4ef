#include "module1.h"

#include "base/scheduler.h"
#include "desktop/attention.h"
#include "desktopalerts.h"
#include "history/history.h"
#include "history/historylocation.h"
#include "messagebox.h"
#include "net/chatsession.h"
#include "net/datagramnetwork.h"
#include "net/networkfollower.h"
#include "settingsfile.h"
#include "sharedfiles.h"
#include "ui/form1.h"
#include "ui/historywindow.h"
#include "ui/savedialogs.h"
#include "ui/titleindicator.h"

#include <QDateTime>
#include <QLoggingCategory>

#ifdef __GLIBC__
#include <malloc.h>
#endif

// Off unless asked for (QT_LOGGING_RULES="zumzum.sharing.info=true"): when sharing is ready to use.
Q_LOGGING_CATEGORY(lcSharing, "zumzum.sharing", QtWarningMsg)

Module1::Module1(Services &services, const QString &executableFolder, NetworkWatcher *networkWatcher)
    : m_services(services), m_executableFolder(executableFolder), m_networkWatcher(networkWatcher),
      // Precise, as QTimer::singleShot chooses for a second.
      m_leavingTimer(services.scheduler.createTimer(Timer::SingleShot, Qt::PreciseTimer))
{
    connect(m_leavingTimer.get(), &Timer::timeout, this, [this] {
        // The end may skip every destructor (main's _Exit while a bus is still being joined):
        // what the history was handed is stored now, within its short wait.
        if (m_history)
            m_history->finish();
        if (m_sharedFiles)
            m_sharedFiles->finish();
        emit finished();
    });
}

Module1::~Module1() = default;

QString Module1::appFolderOf(const QString &folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

bool Module1::Main()
{
    SettingsFile::locateForProgram(m_record, appFolderOf(m_executableFolder));
    const SettingsFile::LoadResult loaded = SettingsFile::load(m_record, m_services.network.localHostName());
    if (loaded.error)
        return fail(*loaded.error);
    m_session =
        std::make_unique<ChatSession>(m_record, m_services.network, m_services.clock, m_services.scheduler);
    m_alerts = std::make_unique<DesktopAlerts>(m_services.badgeAndNotifications, m_services.scheduler);
    m_form1 = std::make_unique<Form1>(
        m_record, m_services, *m_session,
        [this](const SettingsChange::Values &values) { return applySettings(values); });
    connectWindow();
    if (loaded.fileFound)
        m_form1->applyTopMost(m_record.topMost);

    if (const auto error = m_session->open())
        return fail(*error);

    m_form1->show();
    if (const auto error = m_session->announce())
        return fail(*error);
    if (m_networkWatcher) {
        m_follower = std::make_unique<NetworkFollower>(*m_session, m_services.network, m_services.scheduler);
        m_follower->watch(*m_networkWatcher);
    }
    startHistory();
    return true;
}

// After the join notice, so that start-up is as fast as before; the file is opened on the
// history's own thread. What the chat log shows from now on is kept.
void Module1::startHistory()
{
    m_history = std::make_unique<History>(m_services.scheduler);
    History *history = m_history.get();
    connect(m_session.get(), &ChatSession::logged, history,
            [this](const ChatEvent &event) { historyLogged(event); });
    connect(history, &History::unavailable, this, &Module1::historyUnavailable);
    connect(history, &History::notice, m_session.get(), &ChatSession::logNotice);
    connect(history, &History::ready, this, &Module1::showHistorySettings);
    connect(history, &History::unavailable, this, &Module1::showHistorySettings);
    connect(history, &History::settingsChanged, this, &Module1::showHistorySettings);
    // The shares live in the same file: opened once the history has made or checked it.
    connect(history, &History::ready, this, &Module1::startSharingSoon);
    connect(history, &History::unavailable, this, &Module1::startSharingSoon);
    m_historyPath = HistoryLocation::path(m_record.settingsSavePath, m_record.appFolder,
                                          HistoryLocation::systemDataHome());
    history->open(m_historyPath);
}

// Sharing looks for what an earlier run left to serve or to download once start-up has settled;
// the server and its libraries wait for something to serve.
void Module1::startSharingSoon()
{
    if (!m_services.sharesFiles || m_sharingTimer)
        return;
    m_sharingTimer = m_services.scheduler.createTimer(Timer::SingleShot, Qt::CoarseTimer);
    connect(m_sharingTimer.get(), &Timer::timeout, this, &Module1::startSharing);
    m_sharingTimer->start(sharingDelayMs);
}

// The history's file cannot be used. Sharing, which keeps its records in the same file, has not
// started yet: it will keep them in memory, and the one line says so too, so that the chat log
// does not fill with a failure of each store.
void Module1::historyUnavailable(const QString &logLine)
{
    if (!m_services.sharesFiles || m_sharedFiles) {
        m_session->logNotice(logLine);
        return;
    }
    m_sharesInMemory = true;
    m_session->logNotice(logLine + QStringLiteral("。共有したファイルとダウンロードも記録されないので、"
                                                  "プログラムを終えると消えます。原因を直してから"
                                                  "プログラムを起動し直すと、また記録されます。"));
}

void Module1::startSharing()
{
    if (!m_services.sharesFiles || m_sharedFiles || !m_form1 || m_form1->isLeaving())
        return;
    m_sharedFiles = std::make_unique<SharedFiles>(m_services.scheduler);
    connect(m_sharedFiles.get(), &SharedFiles::notice, m_session.get(), &ChatSession::logNotice);
    connect(m_session.get(), &ChatSession::logged, m_sharedFiles.get(), [this](const ChatEvent &event) {
        if (event.kind == ChatEvent::Kind::NetworkChange)
            m_sharedFiles->follow(m_record.localIp);
    });
    m_sharedFiles->start(m_sharesInMemory ? QString() : m_historyPath, m_record.localIp,
                         SettingsFile::chatPortNumber(m_record.chatPort).value_or(0));
    m_saveDialogs = std::make_unique<WidgetSaveDialogs>();
    m_form1->attachSharing(m_sharedFiles->sharing(), m_sharedFiles->downloads(), *m_saveDialogs);
    qCInfo(lcSharing) << "sharing ready;"
                      << (m_sharedFiles->awake() ? "resumed what was kept" : "nothing kept");
#ifdef __GLIBC__
    // Start-up is over: what it freed goes back to the system rather than waiting in the heap.
    malloc_trim(0);
#endif
}

void Module1::historyLogged(const ChatEvent &event)
{
    const QDateTime now = QDateTime::currentDateTime();
    HistoryLine line;
    line.timeMs = now.toMSecsSinceEpoch();
    line.utcOffset = now.offsetFromUtc();
    line.port = SettingsFile::chatPortNumber(m_record.chatPort).value_or(0);
    line.selectedOnly = event.selectedOnly;
    line.name = event.name;
    line.address = event.address;
    line.text = event.text;
    line.recipients = event.recipients.join(QStringLiteral(", "));
    switch (event.kind) {
    case ChatEvent::Kind::Line: line.kind = HistoryLine::Kind::Chat; break;
    case ChatEvent::Kind::Join: line.kind = HistoryLine::Kind::Join; break;
    case ChatEvent::Kind::Leave: line.kind = HistoryLine::Kind::Leave; break;
    case ChatEvent::Kind::NetworkChange: line.kind = HistoryLine::Kind::NetworkChange; break;
    case ChatEvent::Kind::SentToSelected: line.kind = HistoryLine::Kind::SentToSelected; break;
    }
    m_history->add(line);
}

void Module1::showHistorySettings()
{
    const HistorySettings settings = m_history->settings();
    m_form1->showHistorySettings(settings.saving, settings.keepMonths,
                                 m_history->state() != History::State::Off);
}

HistoryWindow &Module1::historyWindow()
{
    if (!m_historyWindow) {
        m_historyDialogs = std::make_unique<WidgetHistoryDialogs>();
        m_historyWindow =
            std::make_unique<HistoryWindow>(*m_history, m_services.scheduler, *m_historyDialogs);
    }
    return *m_historyWindow;
}

void Module1::connectWindow()
{
    Form1 *form1 = m_form1.get();
    connect(form1, &Form1::closed, this, &Module1::runLeavingSequence);
    connect(form1, &Form1::topMostChosen, this, &Module1::chooseTopMost);
    connect(form1, &Form1::seen, this, &Module1::windowSeen);
    // The history exists from the join notice on; the menu is there before.
    connect(form1, &Form1::historySearchRequested, this, [this] {
        if (m_history)
            historyWindow().openSearch();
    });
    connect(form1, &Form1::historySavingChosen, this, [this](bool on) {
        if (m_history)
            m_history->setSaving(on);
    });
    connect(form1, &Form1::historyKeepChosen, this, [this](int months) {
        // The menu has ticked the choice already: a refused one is unticked again.
        if (m_history && !historyWindow().chooseKeepMonths(months, m_form1.get()))
            showHistorySettings();
    });
    connect(form1, &Form1::historyExportRequested, this, [this] {
        if (m_history)
            historyWindow().exportAll();
    });
    connect(form1, &Form1::historyClearRequested, this, [this] {
        if (m_history)
            historyWindow().clearAsking();
    });
    connect(form1->indicator(), &TitleIndicator::newCountChanged, m_alerts.get(),
            &DesktopAlerts::setNewCount);
    connect(m_alerts.get(), &DesktopAlerts::openRequested, form1, &Form1::openFromDesktop);
    connect(m_session.get(), &ChatSession::popupRequested, this,
            [this](const QString &name, const QString &text, const QString &address) {
                // Only 1 is on: other values are no choice the dialog offers.
                if (m_record.onlyNotify == 1)
                    m_alerts->lineArrived(address, name, text);
            });
    connect(m_session.get(), &ChatSession::chatLineLogged, this, &Module1::askForAttention);
}

SettingsChange::Outcome Module1::applySettings(const SettingsChange::Values &values)
{
    const SettingsChange::Outcome outcome =
        SettingsChange::apply(m_record, values, m_form1->outerGeometryTwips());
    if (outcome.refused == SettingsChange::Outcome::Refused::Nothing) {
        m_session->setUserName(m_record.userName);
        m_session->setSubnetMask(m_record.subnetMask);
    }
    return outcome;
}

void Module1::chooseTopMost(bool on)
{
    m_form1->applyTopMost(on);
    m_record.topMost = on;
}

// Once per minimized spell; withdrawn when the window is seen again.
void Module1::askForAttention()
{
    if (!m_form1->isMinimized() || m_attentionAsked)
        return;
    m_attentionAsked = true;
    setDemandsAttention(m_form1.get(), true);
}

void Module1::windowSeen()
{
    if (m_attentionAsked) {
        m_attentionAsked = false;
        setDemandsAttention(m_form1.get(), false);
    }
    m_alerts->seen();
}

void Module1::runLeavingSequence()
{
    const auto saveError = SettingsFile::save(m_record, m_form1->outerGeometryTwips());
    m_session->sendLeaveNotice();
    m_session->stop();
    m_form1->prepareToLeave();
    // Nothing is left to open from them.
    m_alerts->seen();
    if (saveError)
        m_services.messages.critical(m_form1.get(), QStringLiteral("設定の保存"), *saveError);
    m_leavingTimer->start(1000);
}

bool Module1::fail(const QString &description)
{
    if (m_form1)
        m_form1->hide();
    m_services.messages.critical(nullptr, QStringLiteral("err"), description);
    return false;
}
