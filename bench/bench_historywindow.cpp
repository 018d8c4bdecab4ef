// Times the history window of one running instance on a file of a million lines, as the user meets
// it: from Ctrl+F in the main window to the painted list of the newest lines, and from the key press
// that ends a search to the painted results and count. One opening per process (the window and the
// reader are made on the first Ctrl+F); bench_historywindow.sh runs it again and again.
//
//   QT_QPA_PLATFORM=offscreen bench_historywindow --file /tmp/zumzum-history-1m.sqlite [--lines N]
//       [--rounds 3] [--search 鶴,...] [--empty]
//
// --file: the corpus (bench/support/historycorpus.h), written there first when it does not exist
// (about a minute), then copied into the instance's folder for each run. --empty: the instance
// starts with no history file. Each search is typed with all but its last character first; once
// those results are painted and the machine has had 300 ms, the last character is pressed.
// Printed per figure: key to paint less the typing pause (HistoryWindow::searchDelayMs), and the
// search timer's firing to paint (the pause is a coarse timer, which may fire up to 5 % early or
// late). timedOpening() is the opening alone, for callgrind --toggle-collect.

#include "base/clock.h"
#include "base/systemscheduler.h"
#include "benchmain.h"
#include "clocks.h"
#include "history/history.h"
#include "history/historylistmodel.h"
#include "historycorpus.h"
#include "instance.h"
#include "printingmessagebox.h"
#include "recordingurlopener.h"
#include "ui/form1.h"
#include "ui/historywindow.h"
#include "virtuallan.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QWindow>
#include <cstdio>
#include <functional>

namespace {

// Notes the end of every paint event, after the widget has drawn itself.
class PaintClockApplication : public QApplication
{
public:
    using QApplication::QApplication;
    std::function<void(QObject *)> painted;

    bool notify(QObject *receiver, QEvent *event) override
    {
        const bool isPaint = event->type() == QEvent::Paint;
        const bool result = QApplication::notify(receiver, event);
        if (isPaint && painted)
            painted(receiver);
        return result;
    }
};

// The system's timers; the last time one started with the search's typing pause fired is noted.
class MarkingTimer : public Timer
{
public:
    MarkingTimer(std::unique_ptr<Timer> timer, long long &firedNs) : m_timer(std::move(timer))
    {
        connect(m_timer.get(), &Timer::timeout, this, [this, &firedNs] {
            if (m_interval == HistoryWindow::searchDelayMs)
                firedNs = Bench::monotonicNs();
            emit timeout();
        });
    }
    void start(int ms) override
    {
        m_interval = ms;
        m_timer->start(ms);
    }
    void stop() override { m_timer->stop(); }
    bool isActive() const override { return m_timer->isActive(); }
    int remainingTime() const override { return m_timer->remainingTime(); }

private:
    std::unique_ptr<Timer> m_timer;
    int m_interval = 0;
};

class MarkingScheduler : public Scheduler
{
public:
    std::unique_ptr<Timer> createTimer(Timer::Mode mode, Qt::TimerType type) override
    {
        return std::make_unique<MarkingTimer>(m_system.createTimer(mode, type), searchFiredNs);
    }
    long long searchFiredNs = 0;

private:
    SystemScheduler m_system;
};

struct Run
{
    QTemporaryDir folder;
    VirtualLan lan;
    PrintingMessageBox messages{stderr};
    SystemClock clock;
    RecordingUrlOpener shell;
    MarkingScheduler scheduler;
    std::unique_ptr<Instance> instance;
};

bool waitFor(const std::function<bool()> &condition, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return condition();
}

void idle(int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Ctrl+F in the main window, then the event loop until done(); after() runs once the key has made
// the window. A function of its own for: valgrind --tool=callgrind --collect-atstart=no
// --toggle-collect='*timedOpening*' bench_historywindow ...
[[gnu::noinline]] bool timedOpening(QWidget *form, const std::function<bool()> &done,
                                    const std::function<void()> &after)
{
    QTest::keyClick(form, Qt::Key_F, Qt::ControlModifier);
    after();
    return waitFor(done, 30000);
}

double ms(long long ns)
{
    return double(ns) / 1e6;
}

// What the window shows of a search: every line holds the query (case aside), newest first.
bool shownRight(HistoryWindow &window, const QString &query)
{
    const HistoryLines &lines = window.resultModel()->lines();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (!lines[i].text.contains(query, Qt::CaseInsensitive) &&
            !lines[i].name.contains(query, Qt::CaseInsensitive))
            return false;
        if (i > 0 && lines[i].id >= lines[i - 1].id)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Bench::preferOffscreen();
    PaintClockApplication application(argc, argv);
    const QCommandLineOption fileOption(QStringLiteral("file"), QStringLiteral("The corpus."),
                                        QStringLiteral("path"));
    const QCommandLineOption linesOption(QStringLiteral("lines"), QStringLiteral("Lines of a new corpus."),
                                         QStringLiteral("n"), QStringLiteral("1000000"));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"), QStringLiteral("Times each search."),
                                          QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption searchOption(
        QStringLiteral("search"), QStringLiteral("Searches, comma-separated."), QStringLiteral("queries"),
        QStringLiteral("鶴,鯨,の,会議,ok,会議室,お願いします"));
    const QCommandLineOption emptyOption(QStringLiteral("empty"), QStringLiteral("No history file."));
    QCommandLineParser parser;
    if (!Bench::parseCommandLine(parser, {fileOption, linesOption, roundsOption, searchOption, emptyOption},
                                 Bench::Lan::InMemory))
        return 2;
    const bool empty = parser.isSet(emptyOption);
    const QString corpus = parser.value(fileOption);
    if (!empty && corpus.isEmpty()) {
        std::fprintf(stderr, "--file or --empty\n");
        return 2;
    }
    if (!empty && !QFileInfo::exists(corpus)) {
        QElapsedTimer writing;
        writing.start();
        if (const QString error = Bench::HistoryCorpus::write(corpus, parser.value(linesOption).toLongLong());
            !error.isEmpty()) {
            std::fprintf(stderr, "%s\n", qUtf8Printable(error));
            return 1;
        }
        std::printf("# wrote %s in %.1f s\n", qUtf8Printable(corpus), double(writing.elapsed()) / 1000);
    }

    Run run;
    if (!empty && !QFile::copy(corpus, run.folder.filePath(QStringLiteral("history.sqlite")))) {
        std::fprintf(stderr, "cannot copy %s\n", qUtf8Printable(corpus));
        return 1;
    }
    run.instance =
        std::make_unique<Instance>(run.lan, QStringLiteral("198.18.0.1"), QStringLiteral("benchA"),
                                   run.folder.path(), run.messages, run.clock, run.shell, run.scheduler);
    if (!run.instance->start())
        return 1;
    Form1 *form = run.instance->form();
    History *history = run.instance->module().history();
    // The start-up's own work on the file (pruning, indexing what came meanwhile) ends before the
    // opening is timed.
    QSignalSpy maintained(history, &History::maintained);
    if (!waitFor([&] { return maintained.count() > 0; }, 60000)) {
        std::fprintf(stderr, "the history was never ready\n");
        return 1;
    }
    form->activateWindow();
    if (!waitFor(
            [&] {
                return form->windowHandle() && form->windowHandle()->isExposed() &&
                       QApplication::activeWindow() == form;
            },
            10000)) {
        std::fprintf(stderr, "the main window was never active\n");
        return 1;
    }
    idle(1000);
    std::printf("# history %s, %s\n", qUtf8Printable(history->path()),
                empty ? "no file before" : qUtf8Printable(corpus));

    // The window is made by the first Ctrl+F: its parts are known by name when they paint.
    QLabel *status = nullptr;
    bool listShown = false; // the results were set since the key press
    long long listPaintedNs = 0;
    long long countPaintedNs = 0;
    application.painted = [&](QObject *receiver) {
        auto *widget = qobject_cast<QWidget *>(receiver);
        if (!widget)
            return;
        if (widget->objectName() == QLatin1String("historyStatus") && listShown && !countPaintedNs)
            countPaintedNs = Bench::monotonicNs();
        if (widget->parent() && widget->parent()->objectName() == QLatin1String("historyResults") &&
            listShown && !listPaintedNs)
            listPaintedNs = Bench::monotonicNs();
    };

    const long long pressedNs = Bench::monotonicNs();
    if (!timedOpening(
            form, [&] { return listPaintedNs && (countPaintedNs || !status->isVisible()); },
            [&] {
                HistoryWindow &made = run.instance->module().historyWindow();
                status = made.status();
                QObject::connect(made.resultModel(), &QAbstractItemModel::modelReset, &made,
                                 [&] { listShown = true; });
            })) {
        std::fprintf(stderr, "the list was never painted\n");
        return 1;
    }
    HistoryWindow &window = run.instance->module().historyWindow();
    std::printf("open list %.1f ms count %.1f ms (%s, %d rows)\n", ms(listPaintedNs - pressedNs),
                ms(countPaintedNs - pressedNs), qUtf8Printable(status->text()),
                window.resultModel()->rowCount());

    const int rounds = parser.value(roundsOption).toInt();
    const QStringList queries = parser.value(searchOption).split(u',', Qt::SkipEmptyParts);
    QLineEdit *field = window.searchField();
    for (int round = 0; round < rounds; ++round) {
        for (const QString &query : queries) {
            // All but the last character, as typed before; its search ends before the timed key.
            const QString start = query.left(query.size() - 1);
            if (field->text() != start) {
                listShown = false;
                listPaintedNs = 0;
                field->setText(start);
                if (!waitFor([&] { return listShown && listPaintedNs; }, 30000)) {
                    std::fprintf(stderr, "the search for %s never ended\n", qUtf8Printable(start));
                    return 1;
                }
            }
            idle(300);
            listShown = false;
            listPaintedNs = 0;
            countPaintedNs = 0;
            run.scheduler.searchFiredNs = 0;
            const QString last = query.right(1);
            const long long keyNs = Bench::monotonicNs();
            QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, last, Qt::NoModifier);
            if (!waitFor([&] { return listPaintedNs != 0; }, 30000)) {
                std::fprintf(stderr, "the search for %s never ended\n", qUtf8Printable(query));
                return 1;
            }
            // The count is painted in the same pass when it changed; when it reads as before, the
            // label is not painted again.
            const long long paintedNs = std::max(listPaintedNs, countPaintedNs);
            std::printf("search %s key %.1f ms timer %.1f ms (%s, %s)\n", qUtf8Printable(query),
                        ms(paintedNs - keyNs) - HistoryWindow::searchDelayMs,
                        run.scheduler.searchFiredNs ? ms(paintedNs - run.scheduler.searchFiredNs) : -1.0,
                        qUtf8Printable(status->text()),
                        shownRight(window, query) ? "every line holds it, newest first" : "WRONG");
            std::fflush(stdout);
        }
    }
    return 0;
}
