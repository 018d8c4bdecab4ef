#include "manualscheduler.h"
#include "net/entrylistmodel.h"
#include "net/participantlistmodel.h"
#include "ui/accessibility.h"
#include "ui/announcer.h"
#include "ui/entrylistview.h"
#include "ui/form3.h"
#include "ui/participantlistview.h"

#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QStringListModel>
#include <QTest>
#include <QTreeView>
#include <QVBoxLayout>
#include <cmath>

namespace {

QString nameOf(QAccessibleInterface *iface)
{
    return iface ? iface->text(QAccessible::Name) : QString();
}

// WCAG 2's contrast ratio, written out here on its own.
double contrast(QColor a, QColor b)
{
    const auto luminance = [](QColor c) {
        const auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

} // namespace

class TestAccessibility : public QObject
{
    Q_OBJECT

private slots:
    // Qt's widget factory comes with QApplication; this one must be asked first.
    void initTestCase() { Accessibility::installRoles(); }

    // Orca speaks a change away from the focus only for a notification that becomes showing:
    // each announcement shows the label again with the new text.
    void announcementIsANotificationThatShowsAgain()
    {
        QWidget window;
        auto *announcement = new AnnouncementLabel(&window);
        auto *plain = new QLabel(QStringLiteral("plain"), &window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(QAccessible::queryAccessibleInterface(plain)->role(), QAccessible::StaticText);
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(announcement);
        QCOMPARE(iface->role(), QAccessible::Notification);
        QVERIFY(!announcement->isVisible());

        int shows = 0;
        class ShowCounter : public QObject
        {
        public:
            explicit ShowCounter(int &count) : m_count(count) {}
            bool eventFilter(QObject *, QEvent *event) override
            {
                m_count += event->type() == QEvent::Show;
                return false;
            }
            int &m_count;
        } counter(shows);
        announcement->installEventFilter(&counter);
        announcement->announce(QStringLiteral("佐藤: <b>こんにちは</b>"));
        announcement->announce(QStringLiteral("佐藤: もう一度"));
        QCOMPARE(shows, 2);
        QVERIFY(announcement->isVisible());
        QCOMPARE(nameOf(iface), QStringLiteral("佐藤: もう一度"));
        QCOMPARE(announcement->textFormat(), Qt::PlainText);
        // Never seen: no size, outside the tab chain.
        QVERIFY(announcement->size().isEmpty());
        QCOMPARE(announcement->focusPolicy(), Qt::NoFocus);
    }

    // Qt's bridge drops the model-changed event of item views: new rows are told as created
    // cells, with texts a screen reader can speak, and of a large batch only the newest.
    void newRowsAreToldAsCells()
    {
        EntryListModel log;
        EntryListView view;
        view.setModel(&log);
        log.append(QStringLiteral("佐藤>こんにちは\t22:09"));
        log.append(QStringLiteral("鈴木さんが参加しました\t22:10"));
        const QList<QAccessibleInterface *> cells = EntryLists::newCells(view, 0, 1);
        QCOMPARE(cells.size(), 2);
        QCOMPARE(cells.at(0)->role(), QAccessible::Cell);
        QCOMPARE(nameOf(cells.at(0)), QStringLiteral("佐藤: こんにちは, 22:09"));
        QCOMPARE(nameOf(cells.at(1)), QStringLiteral("鈴木さんが参加しました, 22:10"));
        // The cell is the table's own child, which is what the bridge reports as added.
        QAccessibleInterface *table = QAccessible::queryAccessibleInterface(&view);
        QCOMPARE(cells.at(1)->parent(), table);
        QVERIFY(table->indexOfChild(cells.at(1)) >= 0);

        QStringListModel many;
        ParticipantListView list;
        list.setModel(&many);
        many.insertRows(0, 500);
        many.setData(many.index(499, 0), QStringLiteral("last"));
        const QList<QAccessibleInterface *> newest = EntryLists::newCells(list, 0, 499);
        QCOMPARE(newest.size(), EntryListView::announcedRows);
        QCOMPARE(nameOf(newest.last()), QStringLiteral("last"));
        QVERIFY(EntryLists::newCells(list, 499, 499).size() == 1);
    }

    // Recipients are picked without a mouse: the arrows move the focus, Space toggles the row at it.
    void participantsArePickedWithTheKeyboard()
    {
        ParticipantListModel participants;
        participants.add(QStringLiteral("佐藤"), QStringLiteral("198.18.0.2"));
        participants.add(QStringLiteral("鈴木"), QStringLiteral("198.18.0.3"));
        ParticipantListView list;
        list.setModel(&participants);
        list.show();
        list.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&list));
        list.setFocus();
        list.setCurrentIndex(participants.index(0, 0));
        list.clearSelection();
        QTest::keyClick(&list, Qt::Key_Space);
        QCOMPARE(list.selectedRows(), QList<int>{0});
        QTest::keyClick(&list, Qt::Key_Down);
        QCOMPARE(list.selectedRows(), QList<int>{0});
        QTest::keyClick(&list, Qt::Key_Space);
        QCOMPARE(list.selectedRows(), (QList<int>{0, 1}));
        QTest::keyClick(&list, Qt::Key_Space);
        QCOMPARE(list.selectedRows(), QList<int>{0});
    }

    // Tab into a list gives it a current row to tell when it has none (the log its newest, the
    // others their first) and leaves the selection alone; Home and End in the log go to the
    // oldest and the newest row.
    void enteringAListTellsItsRow_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("current");
        QTest::addColumn<QString>("expected");
        QTest::newRow("log") << 0 << -1 << QStringLiteral("c");
        QTest::newRow("log, a row already current") << 0 << 1 << QStringLiteral("b");
        QTest::newRow("participants") << 1 << -1 << QStringLiteral("a");
        QTest::newRow("history tree") << 2 << -1 << QStringLiteral("a");
    }

    void enteringAListTellsItsRow()
    {
        QFETCH(int, kind);
        QFETCH(int, current);
        QFETCH(QString, expected);
        QStringListModel model({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
        QWidget window;
        auto *layout = new QVBoxLayout(&window);
        auto *before = new QLineEdit(&window);
        layout->addWidget(before);
        QAbstractItemView *view = nullptr;
        if (kind == 2) {
            view = new QTreeView(&window);
            EntryLists::tellRowOnFocus(*view, EntryLists::FocusRow::First);
        } else {
            view = kind == 0 ? new EntryListView(&window) : new ParticipantListView(&window);
        }
        view->setAccessibleName(QStringLiteral("list"));
        view->setModel(&model);
        layout->addWidget(view);
        if (current >= 0)
            view->selectionModel()->setCurrentIndex(model.index(current, 0), QItemSelectionModel::NoUpdate);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        before->setFocus();
        QTRY_VERIFY(before->hasFocus());

        QTest::keyClick(before, Qt::Key_Tab);
        QTRY_VERIFY(view->hasFocus());
        QCOMPARE(nameOf(EntryLists::currentCell(*view)), expected);
        QVERIFY(view->selectionModel()->selectedIndexes().isEmpty());
        if (kind != 0)
            return;
        QTest::keyClick(view, Qt::Key_Home);
        QCOMPARE(nameOf(EntryLists::currentCell(*view)), QStringLiteral("a"));
        QTest::keyClick(view, Qt::Key_End);
        QCOMPARE(nameOf(EntryLists::currentCell(*view)), QStringLiteral("c"));
        QVERIFY(view->selectionModel()->selectedIndexes().isEmpty());
    }

    // Orca builds the line it reads from the text's attribute runs: one run covers the whole text,
    // empty or not, while the rest of the text interface reads as before.
    void lineEditsGiveOneRunOverTheirText_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("password");
        QTest::newRow("port") << QStringLiteral("1000") << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("password") << QStringLiteral("secret") << true;
    }

    void lineEditsGiveOneRunOverTheirText()
    {
        QFETCH(QString, value);
        QFETCH(bool, password);
        QLineEdit edit(value);
        edit.setEchoMode(password ? QLineEdit::Password : QLineEdit::Normal);
        edit.resize(200, 30);
        edit.show();
        QVERIFY(QTest::qWaitForWindowExposed(&edit));
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(&edit);
        QAccessibleTextInterface *text = iface->textInterface();
        QVERIFY(text);
        const int n = int(value.size());
        QCOMPARE(text->characterCount(), n);
        for (int offset : {0, n / 2, n}) {
            int start = -2, end = -2;
            text->attributes(offset, &start, &end);
            QCOMPARE(start, 0);
            QCOMPARE(end, n);
        }
        int start = 0, end = 0;
        text->attributes(n + 1, &start, &end);
        QCOMPARE(end, -1);
        QCOMPARE(iface->state().passwordEdit, password);
        if (password) {
            // The text stays hidden.
            QVERIFY(text->text(0, n).isEmpty());
            QCOMPARE(iface->text(QAccessible::Value), QString(n, QLatin1Char('*')));
            QVERIFY(text->textAtOffset(1, QAccessible::WordBoundary, &start, &end).isEmpty());
            return;
        }
        QCOMPARE(text->text(0, n), value);
        QCOMPARE(iface->text(QAccessible::Value), value);
        if (n == 0)
            return;
        text->setSelection(0, 1, 3);
        QCOMPARE(edit.selectedText(), value.mid(1, 2));
        text->selection(0, &start, &end);
        QCOMPARE(QPair(start, end), QPair(1, 3));
        // Each character's box is where the field puts that character.
        for (int i = 0; i < n; ++i) {
            const QRect box = text->characterRect(i);
            QVERIFY(!box.isEmpty());
            QCOMPARE(text->offsetAtPoint(box.center() - QPoint(box.width() / 4, 0)), i);
        }
        iface->editableTextInterface()->replaceText(0, 1, QStringLiteral("2"));
        QCOMPARE(edit.text(), QStringLiteral("2") + value.mid(1));
        edit.setReadOnly(true);
        QVERIFY(!iface->editableTextInterface());
        QVERIFY(iface->state().readOnly);
    }

    // WCAG 1.4.11: the focus frame stands out 3:1 from the row it is on and from the list's ground.
    void focusIsVisible_data()
    {
        QTest::addColumn<bool>("participants");
        QTest::addColumn<bool>("selected");
        QTest::addColumn<bool>("empty");
        QTest::newRow("log") << false << false << false;
        QTest::newRow("log, selected row") << false << true << false;
        QTest::newRow("participants") << true << false << false;
        QTest::newRow("participants, selected row") << true << true << false;
        QTest::newRow("empty list") << false << false << true;
    }

    void focusIsVisible()
    {
        QFETCH(bool, participants);
        QFETCH(bool, selected);
        QFETCH(bool, empty);
        EntryListModel model;
        if (!empty) {
            model.append(QStringLiteral("a"));
            model.append(QStringLiteral("b"));
        }
        std::unique_ptr<EntryListView> view(participants ? new ParticipantListView : new EntryListView);
        view->setModel(&model);
        view->resize(200, 120);
        view->show();
        view->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(view.get()));
        view->setFocus();
        QTRY_VERIFY(view->hasFocus());
        QRect frame = view->viewport()->rect();
        if (!empty) {
            view->setCurrentIndex(model.index(0, 0));
            if (!selected)
                view->clearSelection();
            QCOMPARE(view->selectionModel()->isSelected(model.index(0, 0)), selected);
            frame = view->visualRect(model.index(0, 0));
        }
        const QImage image = view->viewport()->grab().toImage();
        // The frame's outer line, against the ground inside the row (right of any text) and,
        // for a row, against the ground just outside it.
        const QColor line = image.pixelColor(frame.right(), frame.center().y());
        const QColor inside = image.pixelColor(frame.right() - 6, frame.center().y());
        QVERIFY2(contrast(line, inside) >= 3.0,
                 qPrintable(QStringLiteral("%1 against %2").arg(line.name(), inside.name())));
        if (!empty) {
            const QColor below = image.pixelColor(frame.right() - 6, frame.bottom() + 4);
            QVERIFY2(contrast(line, below) >= 3.0,
                     qPrintable(QStringLiteral("%1 against %2").arg(line.name(), below.name())));
        }
    }

    // The popup names the sender and the line for a screen reader; what it shows stays.
    void popupIsANotificationWithSenderAndLine()
    {
        ManualScheduler time;
        auto *popup = new Form3(time);
        popup->setMessage(QStringLiteral("佐藤"), QStringLiteral("内緒です\r\n-Only"));
        popup->show();
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(popup);
        QCOMPARE(iface->role(), QAccessible::Notification);
        QCOMPARE(nameOf(iface), QStringLiteral("佐藤さんから: 内緒です  -Only"));
        QCOMPARE(popup->label()->text(), QStringLiteral("Only受信"));
        QCOMPARE(popup->size(), QSize(138, 36));
        popup->setMessage(QStringLiteral("%1"), QString(1000, QLatin1Char('x')));
        QVERIFY(nameOf(iface).startsWith(QStringLiteral("%1さんから: xxx")));
        QCOMPARE(nameOf(iface).size(), Announcer::spokenCharacters + 1);
        popup->close();
    }
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
