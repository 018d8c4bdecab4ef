#include "app/module1.h"
#include "history/history.h"
#include "history/historylistmodel.h"
#include "history/historystore.h"
#include "historylines.h"
#include "lanfixture.h"
#include "manualscheduler.h"
#include "net/chatsession.h"
#include "recordinghistorydialogs.h"
#include "ui/accessibility.h"
#include "ui/announcer.h"
#include "ui/form1.h"
#include "ui/historywindow.h"
#include "ui/participantlistview.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QWheelEvent>

namespace {

constexpr qint64 day1 = 1767225600000; // 2026-01-01 09:00 in UTC+9
constexpr qint64 day2 = day1 + 86400000;

// A window on a history with three lines over two days.
struct Fixture
{
    QTemporaryDir dir;
    ManualScheduler scheduler;
    History history{scheduler};
    RecordingHistoryDialogs dialogs;
    std::unique_ptr<HistoryWindow> window;
    bool screenReader = false;

    bool start()
    {
        const QString path = dir.filePath(QStringLiteral("history.sqlite"));
        {
            HistoryStore store;
            if (store.open(path).problem != HistoryProblem::None ||
                !store.insert(
                    {chatLine(QStringLiteral("田中"), QStringLiteral("明日の会議は三時からです"), day1),
                     chatLine(QStringLiteral("Bob"), QStringLiteral("<b>Server</b> is down"), day1 + 1000),
                     chatLine(QStringLiteral("佐藤"), QStringLiteral("会議室はB"), day2)}))
                return false;
        }
        QSignalSpy ready(&history, &History::ready);
        history.open(path);
        if (!ready.wait(10000))
            return false;
        window = std::make_unique<HistoryWindow>(history, scheduler, dialogs, nullptr,
                                                 [this] { return screenReader; });
        window->openSearch();
        return QTest::qWaitForWindowExposed(window.get());
    }

    QStringList shownTexts(HistoryListModel *model) const
    {
        QStringList texts;
        for (const HistoryLine &l : model->lines())
            texts.append(l.text);
        return texts;
    }

    // Types as an input method commits, and lets the typing pause start the search.
    void search(const QString &text)
    {
        window->searchField()->setText(text);
        scheduler.advance(HistoryWindow::searchDelayMs);
    }

    // As Enter on the row.
    void choose(int row) { emit window->results()->activated(window->resultModel()->index(row, 0)); }
};

QString accessibleName(QWidget *widget)
{
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(widget);
    return iface ? iface->text(QAccessible::Name) : QString();
}

// The lines an instance's history holds, oldest first, read from its file.
HistoryLines keptBy(Instance &instance)
{
    HistoryStore store;
    if (store.open(instance.folder() + QStringLiteral("/history.sqlite"), false).problem !=
        HistoryProblem::None)
        return {};
    HistoryLines lines = store.newest(1000);
    std::reverse(lines.begin(), lines.end());
    return lines;
}

const HistoryLine *keptLine(const HistoryLines &lines, HistoryLine::Kind kind, const QString &text)
{
    for (const HistoryLine &line : lines) {
        if (line.kind == kind && line.text == text)
            return &line;
    }
    return nullptr;
}

bool hasMarkColour(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) == QColor(0xff, 0xe0, 0x40))
                return true;
        }
    }
    return false;
}

} // namespace

class TestHistoryWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Accessibility::installRoles(); }

    // Before a search: the newest lines as they came, a row per day, and they copy as
    // TAB-separated lines without the days' rows.
    void newestLinesAndCopy()
    {
        Fixture f;
        QVERIFY(f.start());
        QTRY_COMPARE(f.window->resultModel()->lines().size(), 3);
        HistoryListModel *model = f.window->resultModel();
        QCOMPARE(f.shownTexts(model).last(), QStringLiteral("会議室はB"));
        QCOMPARE(model->rowCount(), 5); // two days' rows
        QVERIFY(model->data(model->index(0, 0), HistoryListModel::separatorRole).toBool());
        QCOMPARE(model->data(model->index(0, 0)).toString(), QStringLiteral("2026年1月1日（木）"));
        // Markup from a peer is text.
        QCOMPARE(model->data(model->index(2, HistoryListModel::TextColumn)).toString(),
                 QStringLiteral("<b>Server</b> is down"));

        QCOMPARE(QApplication::focusWidget(), f.window->searchField());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), f.window->results());
        QTest::keyClick(f.window->results(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(f.window->results(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QStringLiteral("2026-01-01 09:00:00\t田中\t明日の会議は三時からです\n"
                                "2026-01-01 09:00:01\tBob\t<b>Server</b> is down\n"
                                "2026-01-02 09:00:00\t佐藤\t会議室はB\n"));
    }

    // The search starts once typing pauses, finds two-character words newest first, marks them,
    // and Enter shows the chosen line among its neighbours.
    void searchAsYouTypeAndContext()
    {
        Fixture f;
        QVERIFY(f.start());
        QTRY_COMPARE(f.window->resultModel()->lines().size(), 3);
        QSignalSpy found(&f.history, &History::linesFound);
        f.window->searchField()->insert(QStringLiteral("会議")); // as an input method commits it
        f.scheduler.advance(HistoryWindow::searchDelayMs - 1);
        QCOMPARE(found.size(), 0);
        f.scheduler.advance(1);
        QTRY_COMPARE(f.shownTexts(f.window->resultModel()),
                     (QStringList{QStringLiteral("会議室はB"), QStringLiteral("明日の会議は三時からです")}));
        QTRY_VERIFY(hasMarkColour(f.window->results()->viewport()->grab().toImage()));

        f.window->searchField()->insert(QStringLiteral("は三"));
        f.scheduler.advance(HistoryWindow::searchDelayMs);
        QTRY_COMPARE(f.shownTexts(f.window->resultModel()),
                     QStringList{QStringLiteral("明日の会議は三時からです")});

        QTreeView *results = f.window->results();
        results->setFocus();
        results->setCurrentIndex(f.window->resultModel()->index(1, 0));
        QTest::keyClick(results, Qt::Key_Return);
        QTRY_COMPARE(f.window->contextModel()->lines().size(), 3);
        const QModelIndexList chosen = f.window->context()->selectionModel()->selectedRows();
        QCOMPARE(chosen.size(), 1);
        QCOMPARE(f.window->contextModel()->lineAt(chosen.first().row())->text,
                 QStringLiteral("明日の会議は三時からです"));

        QTest::keyClick(results, Qt::Key_Escape);
        QVERIFY(!f.window->isVisible());
    }

    // The commands: saving and the keep period go to the history, export writes the lines shown,
    // clearing asks first.
    void commands()
    {
        Fixture f;
        QVERIFY(f.start());
        QTRY_COMPARE(f.window->resultModel()->lines().size(), 3);
        auto *saving = f.window->findChild<QCheckBox *>(QStringLiteral("historySaving"));
        auto *keep = f.window->findChild<QComboBox *>(QStringLiteral("historyKeep"));
        QVERIFY(saving && keep);
        QVERIFY(saving->isChecked());
        QCOMPARE(keep->currentData().toInt(), 12);
        saving->click();
        keep->setCurrentIndex(keep->findData(0));
        emit keep->activated(keep->currentIndex());
        QCOMPARE(f.history.settings(), (HistorySettings{false, 0}));

        f.dialogs.exportPath = f.dir.filePath(QStringLiteral("out.txt"));
        QSignalSpy exported(&f.history, &History::exported);
        f.window->exportShown();
        QTRY_COMPARE(exported.size(), 1);
        QFile file(f.dialogs.exportPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().count('\n'), 3);

        QSignalSpy cleared(&f.history, &History::cleared);
        f.window->findChild<QPushButton *>(QStringLiteral("historyClear"))->click();
        QCOMPARE(f.dialogs.clearQuestions, 1);
        QCOMPARE(cleared.size(), 0);
        f.dialogs.clearAnswer = true;
        f.window->clearAsking();
        QTRY_COMPARE(cleared.size(), 1);
        QTRY_COMPARE(f.window->resultModel()->lines().size(), 0);
        QVERIFY(f.dialogs.told.isEmpty());
    }

    // The program keeps what its chat log shows and what it sends to chosen people, beside set.txt
    // in a program folder of its own; the menu "履歴" opens the window and changes the settings.
    void programKeepsWhatItShows()
    {
        LanWithInstances fixture({1, 2, 3});
        auto &[lan, time, instances] = fixture;
        Instance &a = *instances[0];
        Instance &b = *instances[1];
        QTRY_VERIFY(a.module().history() && a.module().history()->state() == History::State::Ready);
        time.advance(3000); // the answers: everybody lists everybody
        QTRY_COMPARE(a.participants().size(), 2);
        QTRY_COMPARE(b.participants().size(), 2);

        b.form()->text1()->setText(QStringLiteral("会議は三時"));
        QTest::keyClick(b.form()->text1(), Qt::Key_Return);
        QTest::mouseClick(b.form()->check1(), Qt::LeftButton);
        selectParticipant(b.form(), QStringLiteral("198.18.0.1"));
        b.form()->text1()->setText(QStringLiteral("内緒"));
        QTest::keyClick(b.form()->text1(), Qt::Key_Return);
        QTRY_VERIFY(keptLine(keptBy(a), HistoryLine::Kind::Chat, QStringLiteral("内緒")));
        const HistoryLines atA = keptBy(a);
        const HistoryLine *everybody = keptLine(atA, HistoryLine::Kind::Chat, QStringLiteral("会議は三時"));
        QVERIFY(everybody);
        QCOMPARE(everybody->name, QStringLiteral("host2"));
        QCOMPARE(everybody->address, QStringLiteral("198.18.0.2"));
        QCOMPARE(everybody->port, quint16(1000));
        QVERIFY(!everybody->selectedOnly);
        QVERIFY(keptLine(atA, HistoryLine::Kind::Chat, QStringLiteral("内緒"))->selectedOnly);
        QVERIFY(keptLine(atA, HistoryLine::Kind::Join, QStringLiteral("host2さんが参加しました")));

        QTRY_VERIFY(keptLine(keptBy(b), HistoryLine::Kind::SentToSelected, QStringLiteral("内緒")));
        const HistoryLines atB = keptBy(b);
        QCOMPARE(keptLine(atB, HistoryLine::Kind::SentToSelected, QStringLiteral("内緒"))->recipients,
                 QStringLiteral("host1 (198.18.0.1)"));
        // Its own copy comes back and is shown, so it is kept as a line received too.
        QTRY_VERIFY(keptLine(keptBy(b), HistoryLine::Kind::Chat, QStringLiteral("内緒")));
        // C was not chosen: it neither shows nor keeps the line.
        QTRY_VERIFY(keptLine(keptBy(*instances[2]), HistoryLine::Kind::Chat, QStringLiteral("会議は三時")));
        QVERIFY(!keptLine(keptBy(*instances[2]), HistoryLine::Kind::Chat, QStringLiteral("内緒")));

        auto *saving = a.form()->menuBar()->findChild<QAction *>(QStringLiteral("historySaving"));
        QVERIFY(saving && saving->isChecked());
        saving->trigger();
        QCOMPARE(a.module().history()->settings().saving, false);
        a.module().history()->setSaving(true);
        a.module().history()->setKeepMonths(1);
        QVERIFY(saving->isChecked());
        QVERIFY(a.form()->menuBar()->findChild<QAction *>(QStringLiteral("historyKeep1"))->isChecked());

        a.form()->menuBar()->findChild<QAction *>(QStringLiteral("historySearch"))->trigger();
        HistoryWindow &window = a.module().historyWindow();
        QVERIFY(window.isVisible());
        QTRY_VERIFY(window.resultModel()->lines().size() >= 3);
    }

    // A file that is not a history: the chat goes on as before, with one line saying why, once.
    void historyOffIsToldOnce()
    {
        LanWithInstance fixture;
        auto &[lan, time, a] = fixture;
        QFile file(a.folder() + QStringLiteral("/history.sqlite"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("the user's own notes\n");
        file.close();
        QVERIFY(a.start());
        const auto offLines = [&a] {
            return a.chatLog().filter(QStringLiteral("履歴は保存されません")).size();
        };
        QTRY_COMPARE(offLines(), 1);
        QVERIFY2(a.chatLog().filter(QStringLiteral("履歴は保存されません")).first().contains(file.fileName()),
                 qPrintable(a.chatLog().join(u'|')));
        a.form()->text1()->setText(QStringLiteral("still works"));
        QTest::keyClick(a.form()->text1(), Qt::Key_Return);
        QTRY_VERIFY(a.chatLog().last().startsWith(QStringLiteral("host-a>still works")));
        QCOMPARE(offLines(), 1);
        QVERIFY(!a.form()->menuBar()->findChild<QAction *>(QStringLiteral("historySaving"))->isEnabled());
        file.open(QIODevice::ReadOnly);
        QCOMPARE(file.readAll(), QByteArray("the user's own notes\n"));
    }

    // Every control that takes the focus has a name a screen reader can say.
    void accessibleNames()
    {
        Fixture f;
        QVERIFY(f.start());
        const QList<QWidget *> controls = f.window->findChildren<QWidget *>();
        int focusable = 0;
        for (QWidget *control : controls) {
            if (control->focusPolicy() & Qt::TabFocus && control->isVisibleTo(f.window.get())) {
                ++focusable;
                // Its own name, or a label's (the keep period is named by its label and reads
                // the period shown as its own name).
                QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
                QVERIFY2(!control->accessibleName().isEmpty() ||
                             !accessible->relations(QAccessible::Label).isEmpty(),
                         control->metaObject()->className());
            }
        }
        QVERIFY(focusable >= 7);
    }

    // A line chosen while the search is still running: the results and the count follow the
    // search, and "表示中の行" writes them, not the lines shown before.
    void choosingALineLeavesTheSearch()
    {
        Fixture f;
        QVERIFY(f.start());
        QTRY_COMPARE(f.window->resultModel()->lines().size(), 3);
        // The line is chosen before the window has handled any answer to the search.
        f.window->searchField()->setText(QStringLiteral("会議"));
        f.scheduler.advanceHoldingEvents(HistoryWindow::searchDelayMs);
        f.choose(1); // 明日の会議は三時からです, from the newest lines still shown
        QTRY_COMPARE(f.shownTexts(f.window->resultModel()),
                     (QStringList{QStringLiteral("会議室はB"), QStringLiteral("明日の会議は三時からです")}));
        QCOMPARE(f.window->status()->text(), QStringLiteral("2 件"));
        QTRY_COMPARE(f.window->contextModel()->lines().size(), 3);

        f.dialogs.exportPath = f.dir.filePath(QStringLiteral("shown.txt"));
        QSignalSpy exported(&f.history, &History::exported);
        f.window->exportShown();
        QTRY_COMPARE(exported.size(), 1);
        QFile file(f.dialogs.exportPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString written = QString::fromUtf8(file.readAll());
        QCOMPARE(written.count(u'\n'), 2);
        QVERIFY2(!written.contains(QStringLiteral("Server")), qPrintable(written));
    }

    // A line stored just after one was chosen refreshes the newest lines and leaves the chosen
    // line's neighbours to come.
    void storedLineLeavesTheContext()
    {
        Fixture f;
        QVERIFY(f.start());
        QTRY_COMPARE(f.window->resultModel()->lines().size(), 3);
        QSignalSpy stored(&f.history, &History::stored);
        f.history.add(chatLine(QStringLiteral("鈴木"), QStringLiteral("今着きました"), day2 + 1000));
        QTRY_COMPARE(stored.size(), 1); // the window's refresh now waits for the typing pause
        f.choose(1);                    // 田中's line, below the day's row
        f.scheduler.advanceHoldingEvents(HistoryWindow::searchDelayMs);
        QTRY_COMPARE(f.window->resultModel()->lines().size(), 4);
        QTRY_COMPARE(f.shownTexts(f.window->contextModel()).size(), 4);
        const QModelIndexList chosen = f.window->context()->selectionModel()->selectedRows();
        QCOMPARE(chosen.size(), 1);
        QCOMPARE(f.window->contextModel()->lineAt(chosen.first().row())->name, QStringLiteral("田中"));
    }

    // Settings changed by another instance on the same file show when the window is opened.
    void windowShowsTheFilesSettings()
    {
        Fixture f;
        QVERIFY(f.start());
        auto *saving = f.window->findChild<QCheckBox *>(QStringLiteral("historySaving"));
        auto *keep = f.window->findChild<QComboBox *>(QStringLiteral("historyKeep"));
        QVERIFY(saving->isChecked());
        f.window->close();
        {
            HistoryStore other;
            QCOMPARE(other.open(f.history.path(), false).problem, HistoryProblem::None);
            QVERIFY(other.setSaving(false));
            QVERIFY(other.setKeepMonths(1));
        }
        f.window->openSearch();
        QTRY_VERIFY(!saving->isChecked());
        QCOMPARE(keep->currentData().toInt(), 1);
        QCOMPARE(f.history.settings(), (HistorySettings{false, 1}));
    }

    // The count is the status line's accessible name, and a screen reader is told it once per
    // search: not per keystroke, not when the same search is refreshed, not at all while no
    // screen reader listens; of searches within a second only the last.
    void countIsReadAndAnnouncedOncePerSearch()
    {
        Fixture f;
        QVERIFY(f.start());
        QTRY_COMPARE(f.window->resultModel()->lines().size(), 3);
        QCOMPARE(accessibleName(f.window->status()), QStringLiteral("最近の 3 行"));
        QSignalSpy spoken(f.window->announcer(), &Announcer::announce);

        f.search(QStringLiteral("Server"));
        QTRY_COMPARE(accessibleName(f.window->status()), QStringLiteral("1 件"));
        QCOMPARE(spoken.size(), 0); // nobody listens

        f.screenReader = true;
        f.window->searchField()->clear();
        f.window->searchField()->insert(QStringLiteral("会"));
        f.scheduler.advance(HistoryWindow::searchDelayMs / 2);
        f.window->searchField()->insert(QStringLiteral("議"));
        f.scheduler.advance(HistoryWindow::searchDelayMs);
        QTRY_COMPARE(spoken.size(), 1);
        QCOMPARE(spoken.at(0).at(0).toString(), QStringLiteral("2 件"));
        QCOMPARE(accessibleName(f.window->status()), QStringLiteral("2 件"));
        QAccessibleInterface *announcement = QAccessible::queryAccessibleInterface(f.window->announcement());
        QCOMPARE(announcement->role(), QAccessible::Notification);
        QCOMPARE(announcement->text(QAccessible::Name), QStringLiteral("2 件"));

        f.search(QStringLiteral("鯨"));
        QTRY_COMPARE(accessibleName(f.window->status()), QStringLiteral("0 件"));
        f.search(QStringLiteral("会議室"));
        QTRY_COMPARE(accessibleName(f.window->status()), QStringLiteral("1 件"));
        QCOMPARE(spoken.size(), 1);
        f.scheduler.advance(Announcer::intervalMs);
        QCOMPARE(spoken.size(), 2);
        QCOMPARE(spoken.at(1).at(0).toString(), QStringLiteral("1 件"));

        // The newest lines again; a line stored and the history cleared merely refresh them.
        f.scheduler.advance(Announcer::intervalMs);
        f.search(QString());
        QTRY_COMPARE(spoken.size(), 3);
        QCOMPARE(spoken.at(2).at(0).toString(), QStringLiteral("最近の 3 行"));
        QSignalSpy stored(&f.history, &History::stored);
        f.history.add(chatLine(QStringLiteral("鈴木"), QStringLiteral("今着きました"), day2 + 1000));
        QTRY_COMPARE(stored.size(), 1);
        f.scheduler.advance(HistoryWindow::searchDelayMs);
        QTRY_COMPARE(accessibleName(f.window->status()), QStringLiteral("最近の 4 行"));
        f.dialogs.clearAnswer = true;
        f.window->clearAsking();
        QTRY_COMPARE(accessibleName(f.window->status()), QStringLiteral("最近の 0 行"));
        f.scheduler.advance(Announcer::intervalMs * 2);
        QCOMPARE(spoken.size(), 3);
    }

    // A shorter keep period deletes lines: by key, wheel or the menu it is asked first, and a "no"
    // leaves the period and the combo box as they were. A longer one is not asked.
    void shorteningTheKeepPeriodAsksFirst()
    {
        for (const auto &[months, current, less] :
             {std::tuple{1, 12, true}, std::tuple{12, 0, true}, std::tuple{0, 12, false},
              std::tuple{12, 1, false}, std::tuple{12, 12, false}})
            QCOMPARE(HistoryWindow::keepsLess(months, current), less);

        Fixture f;
        QVERIFY(f.start());
        auto *keep = f.window->findChild<QComboBox *>(QStringLiteral("historyKeep"));
        QVERIFY(keep);
        QCOMPARE(f.history.settings().keepMonths, 12);
        const auto shown = [keep] { return keep->currentData().toInt(); };
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(keep);
        const auto labels = accessible->relations(QAccessible::Label);
        QCOMPARE(labels.size(), 1);
        // A screen reader reads the period with the label, and hears it change.
        QAccessibleInterface *label = labels.first().first;
        QCOMPARE(label->text(QAccessible::Name), QStringLiteral("保存期間: 1年"));
        f.screenReader = true;

        keep->setFocus();
        QTest::keyClick(keep, Qt::Key_Up); // 1年 → 1か月, refused
        QCOMPARE(f.dialogs.keepQuestions, QStringList{QStringLiteral("1か月")});
        QCOMPARE(f.history.settings().keepMonths, 12);
        QCOMPARE(shown(), 12);

        f.scheduler.advance(Announcer::intervalMs);
        QSignalSpy spoken(f.window->announcer(), &Announcer::announce);
        QTest::keyClick(keep, Qt::Key_Down); // 1年 → 無期限: nothing to delete, not asked
        QTRY_COMPARE(f.history.settings().keepMonths, 0);
        QCOMPARE(f.dialogs.keepQuestions.size(), 1);
        QCOMPARE(label->text(QAccessible::Name), QStringLiteral("保存期間: 無期限"));
        f.scheduler.advance(Announcer::intervalMs);
        QCOMPARE(spoken.size(), 1);
        QCOMPARE(spoken.first().at(0).toString(), QStringLiteral("無期限"));

        QWheelEvent wheel(QPointF(5, 5), keep->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, 120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(keep, &wheel); // 無期限 → 1年, refused
        QCOMPARE(f.dialogs.keepQuestions.size(), 2);
        QCOMPARE(f.dialogs.keepQuestions.last(), QStringLiteral("1年"));
        QCOMPARE(f.history.settings().keepMonths, 0);
        QCOMPARE(shown(), 0);

        f.dialogs.keepAnswer = true;
        QVERIFY(f.window->chooseKeepMonths(1)); // as the menu does: asked, agreed
        QCOMPARE(f.dialogs.keepQuestions.last(), QStringLiteral("1か月"));
        QTRY_COMPARE(f.history.settings().keepMonths, 1);
        QTRY_COMPARE(shown(), 1);
        QVERIFY(!f.window->chooseKeepMonths(1)); // the same again: nothing to do
        QVERIFY(!f.window->chooseKeepMonths(5)); // no such choice
        QCOMPARE(f.dialogs.keepQuestions.size(), 3);
        QCOMPARE(f.history.settings().keepMonths, 1);
    }
};

QTEST_MAIN(TestHistoryWindow)
#include "tst_historywindow.moc"
