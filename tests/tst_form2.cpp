#include "testsupport.h"

#include "app/settingsfile.h"
#include "ui/form2.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QIcon>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTest>

namespace {

struct DialogFixture
{
    QTemporaryDir dir;
    SettingsRecord record;
    RecordingMessageBox messages;

    DialogFixture()
    {
        SettingsFile::setDefaults(record);
        record.appFolder = dir.path() + QLatin1Char('/');
        record.userName = QStringLiteral("山田");
        record.localIp = QStringLiteral("198.18.0.7");
        record.broadcastAddress = QStringLiteral("198.18.0.255");
    }

    std::unique_ptr<Form2> open()
    {
        auto dialog = std::make_unique<Form2>(
            record,
            [this](const SettingsChange::Values &values) {
                return SettingsChange::apply(record, values, WindowGeometryTwips{15, 30, 6630, 4455});
            },
            messages);
        dialog->show();
        return dialog;
    }

    QByteArray file() const
    {
        QFile f(SettingsFile::path(record.appFolder));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

} // namespace

class TestForm2 : public QObject
{
    Q_OBJECT

private slots:
    void filledFromTheRecordWithItsLayout()
    {
        DialogFixture f;
        f.record.onlyNotify = 1;
        auto dialog = f.open();
        QCOMPARE(dialog->windowTitle(), QStringLiteral("設定"));
        QWidget mainWindow;
        mainWindow.setWindowIcon(QIcon(QPixmap(16, 16)));
        const Form2 child(
            f.record, [](const SettingsChange::Values &) { return SettingsChange::Outcome{}; }, f.messages,
            &mainWindow);
        QVERIFY2(child.windowIcon().isNull(), "no icon, not the main window's");
        QCOMPARE(dialog->size(), QSize(3105 / 15, 3795 / 15));
        QCOMPARE(dialog->minimumSize(), dialog->maximumSize());
        const QPoint offCentre =
            dialog->frameGeometry().center() - QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY2(offCentre.manhattanLength() <= 8, "centred on the screen, not over the main window");
        QVERIFY(!dialog->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!dialog->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        QCOMPARE(dialog->text1()->text(), QStringLiteral("山田"));
        QCOMPARE(dialog->text2()->text(), QStringLiteral("255.255.255.0"));
        QCOMPARE(dialog->text3()->text(), QStringLiteral("1000"));
        QVERIFY(dialog->check3()->isChecked());
        QCOMPARE(dialog->text1()->maxLength(), 10);
        QCOMPARE(dialog->text3()->maxLength(), 5);
        QCOMPARE(dialog->text3()->geometry(), QRect(132, 74, 41, 17));
        QVERIFY(!dialog->command1()->autoDefault() && !dialog->command1()->isDefault());
        auto *hint = dialog->findChild<QLabel *>(QStringLiteral("Label3"));
        QVERIFY(hint && hint->wordWrap());
        QCOMPARE(hint->palette().color(QPalette::WindowText), QColor(Qt::red));
        QVERIFY(
            dialog->findChild<QLabel *>(QStringLiteral("Label2"))->text().contains(QStringLiteral("10000")));
    }

    void tabOrder()
    {
        DialogFixture f;
        auto dialog = f.open();
        QWidget *expected[] = {dialog->command1(), dialog->command2(), dialog->text2(), dialog->check3(),
                               dialog->text3()};
        QWidget *current = dialog->text1();
        for (QWidget *next : expected) {
            current = current->nextInFocusChain();
            while (!(current->focusPolicy() & Qt::TabFocus))
                current = current->nextInFocusChain();
            QCOMPARE(current, next);
        }
    }

    void accessibleNames()
    {
        DialogFixture f;
        auto dialog = f.open();
        QCOMPARE(dialog->text1()->accessibleName(), QStringLiteral("参加名"));
        QCOMPARE(dialog->text3()->accessibleName(), QStringLiteral("ポート番号"));
        QCOMPARE(dialog->text2()->accessibleName(), QStringLiteral("サブネットマスク"));
    }

    void maskKeyFilter()
    {
        DialogFixture f;
        auto dialog = f.open();
        QLineEdit *mask = dialog->text2();
        mask->setText(QStringLiteral("255.255"));
        mask->end(false);
        QTest::keyClicks(mask, QStringLiteral("."));
        QCOMPARE(mask->text(), QStringLiteral("255.255."));
        // Three points already: a fourth is refused; so are letters, blanks and signs.
        mask->setText(QStringLiteral("255.255.255"));
        mask->end(false);
        QTest::keyClicks(mask, QStringLiteral(".0.a /-"));
        QCOMPARE(mask->text(), QStringLiteral("255.255.255.0"));
        QTest::keyClick(mask, Qt::Key_Backspace);
        QCOMPARE(mask->text(), QStringLiteral("255.255.255."));
        // Only pasting can give four points; further points are then not refused.
        mask->setText(QStringLiteral("1.2.3.4.5"));
        mask->end(false);
        QTest::keyClicks(mask, QStringLiteral("."));
        QCOMPARE(mask->text(), QStringLiteral("1.2.3.4.5."));
    }

    void portKeyFilter()
    {
        DialogFixture f;
        auto dialog = f.open();
        QLineEdit *port = dialog->text3();
        port->setText(QStringLiteral("10"));
        port->end(false);
        QTest::keyClicks(port, QStringLiteral("a.-0 "));
        QCOMPARE(port->text(), QStringLiteral("100"));
        QTest::keyClick(port, Qt::Key_Backspace);
        QTest::keyClick(port, Qt::Key_Backspace, Qt::ControlModifier);
        QTest::keyClick(port, Qt::Key_Backspace, Qt::ShiftModifier);
        QCOMPARE(port->text(), QStringLiteral("100"));
        port->home(false);
        QTest::keyClick(port, Qt::Key_Delete);
        QCOMPARE(port->text(), QStringLiteral("00"));
    }

    // A TAB, CR or LF in the name would shift every field of set.txt and of every datagram.
    void nameRefusesFieldSeparators()
    {
        DialogFixture f;
        auto dialog = f.open();
        QLineEdit *name = dialog->text1();
        name->clear();
        QTest::keyClicks(name, QStringLiteral("ab"));
        QGuiApplication::clipboard()->setText(QStringLiteral("x\ty"));
        QTest::keyClick(name, Qt::Key_V, Qt::ControlModifier);
        QGuiApplication::clipboard()->setText(QStringLiteral("x\ny"));
        QTest::keyClick(name, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(name->text(), QStringLiteral("ab"));
        QGuiApplication::clipboard()->setText(QStringLiteral("太郎"));
        QTest::keyClick(name, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(name->text(), QStringLiteral("ab太郎"));
    }

    void okStoresAndSaves()
    {
        DialogFixture f;
        auto dialog = f.open();
        dialog->text1()->setText(QStringLiteral("太郎"));
        dialog->text2()->setText(QStringLiteral("255.255.0.0"));
        dialog->check3()->setChecked(true);
        dialog->text3()->setText(QStringLiteral("01000"));
        QTest::mouseClick(dialog->command1(), Qt::LeftButton);
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QVERIFY2(!dialog->portChanged(), "01000 is the same port as 1000");
        QVERIFY(f.messages.shown.isEmpty());
        QCOMPARE(f.record.userName, QStringLiteral("太郎"));
        QCOMPARE(f.record.onlyNotify, qint16(1));
        QCOMPARE(f.file(),
                 QByteArray::fromHex("91be9859") + "\t0\t1\t15\t30\t6630\t4455\t255.255.0.0\t1\t1000\r\n");
    }

    // A Windows check box stores 2 for its grey state: kept through Ok until the user clicks the
    // box, which then ticks it and, clicked again, clears it.
    void greyOnlyNotifyIsKeptUntilClicked()
    {
        DialogFixture f;
        f.record.onlyNotify = 2;
        auto dialog = f.open();
        QCOMPARE(dialog->check3()->checkState(), Qt::PartiallyChecked);
        QTest::mouseClick(dialog->command1(), Qt::LeftButton);
        QCOMPARE(f.record.onlyNotify, qint16(2));
        QVERIFY(f.file().endsWith("\t2\t1000\r\n"));

        const QList<std::pair<Qt::CheckState, qint16>> clicks = {
            {Qt::Checked, 1}, {Qt::Unchecked, 0}, {Qt::Checked, 1}};
        for (int count = 1; count <= clicks.size(); ++count) {
            f.record.onlyNotify = 2;
            auto again = f.open();
            for (int i = 0; i < count; ++i)
                QTest::mouseClick(again->check3(), Qt::LeftButton, {},
                                  QPoint(6, again->check3()->height() / 2));
            QCOMPARE(again->check3()->checkState(), clicks.at(count - 1).first);
            QTest::mouseClick(again->command1(), Qt::LeftButton);
            QCOMPARE(f.record.onlyNotify, clicks.at(count - 1).second);
        }
    }

    void okWithAnotherPortAsksForARestart()
    {
        DialogFixture f;
        auto dialog = f.open();
        dialog->text3()->setText(QStringLiteral("1001"));
        QTest::mouseClick(dialog->command1(), Qt::LeftButton);
        QVERIFY(dialog->portChanged());
        QCOMPARE(f.record.chatPort, QStringLiteral("1001"));
        QVERIFY(f.file().endsWith("\t1001\r\n"));
        QCOMPARE(f.messages.shown.size(), 1);
        QCOMPARE(f.messages.shown.first().title, QStringLiteral("ポート変更"));
        QVERIFY(f.messages.shown.first().text.startsWith(QStringLiteral("ポート番号が変更されました")));
    }

    void noChangesNothing()
    {
        DialogFixture f;
        auto dialog = f.open();
        dialog->text1()->setText(QStringLiteral("changed"));
        dialog->text3()->setText(QStringLiteral("2000"));
        QTest::mouseClick(dialog->command2(), Qt::LeftButton);
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        QCOMPARE(f.record.userName, QStringLiteral("山田"));
        QCOMPARE(f.record.chatPort, QStringLiteral("1000"));
        QVERIFY(f.file().isEmpty());
        // Esc and Enter do nothing.
        auto again = f.open();
        QTest::keyClick(again.get(), Qt::Key_Escape);
        QTest::keyClick(again->text1(), Qt::Key_Return);
        QVERIFY(again->isVisible());
        QCOMPARE(again->text1()->text(), QStringLiteral("山田"));
    }

    // Values that break the broadcast address or every later start are refused before anything
    // is stored.
    void refusesUnusableValues_data()
    {
        QTest::addColumn<QString>("mask");
        QTest::addColumn<QString>("port");
        QTest::newRow("three-part mask") << QStringLiteral("255.255.255") << QStringLiteral("1000");
        QTest::newRow("mask part over 255") << QStringLiteral("255.255.256.0") << QStringLiteral("1000");
        QTest::newRow("empty mask") << QString() << QStringLiteral("1000");
        QTest::newRow("empty port") << QStringLiteral("255.255.255.0") << QString();
        QTest::newRow("zero port") << QStringLiteral("255.255.255.0") << QStringLiteral("00000");
        QTest::newRow("port over 65535") << QStringLiteral("255.255.255.0") << QStringLiteral("65536");
    }

    void refusesUnusableValues()
    {
        QFETCH(QString, mask);
        QFETCH(QString, port);
        DialogFixture f;
        auto dialog = f.open();
        dialog->text1()->setText(QStringLiteral("new name"));
        dialog->text2()->setText(mask);
        dialog->text3()->setText(port);
        QTest::mouseClick(dialog->command1(), Qt::LeftButton);
        QVERIFY(dialog->isVisible());
        QCOMPARE(f.messages.shown.size(), 1);
        QCOMPARE(f.record.userName, QStringLiteral("山田"));
        QCOMPARE(f.record.subnetMask, QStringLiteral("255.255.255.0"));
        QCOMPARE(f.record.chatPort, QStringLiteral("1000"));
        QVERIFY(f.file().isEmpty());
    }

    // The default name is the host name, often longer than the 10 characters the box lets one
    // type; Ok without edits must not cut it, nor take "001000" for another port.
    void loadedValuesAreKeptWhole()
    {
        DialogFixture f;
        f.record.userName = QStringLiteral("workstation-0123");
        f.record.chatPort = QStringLiteral("001000");
        auto dialog = f.open();
        QCOMPARE(dialog->text1()->text(), f.record.userName);
        QCOMPARE(dialog->text3()->text(), QStringLiteral("001000"));
        QTest::mouseClick(dialog->command1(), Qt::LeftButton);
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QVERIFY(!dialog->portChanged());
        QVERIFY(f.messages.shown.isEmpty());
        QCOMPARE(f.record.userName, QStringLiteral("workstation-0123"));
        QCOMPARE(f.file(),
                 QByteArray("workstation-0123\t0\t1\t15\t30\t6630\t4455\t255.255.255.0\t0\t1000\r\n"));
    }

    // The limits still hold for typing: a long name cannot grow, and once shortened it may only
    // grow back to 10 characters.
    void lengthLimitsRestrictTyping()
    {
        DialogFixture f;
        f.record.userName = QStringLiteral("workstation-0123");
        auto dialog = f.open();
        QLineEdit *name = dialog->text1();
        name->end(false);
        QTest::keyClicks(name, QStringLiteral("x"));
        QCOMPARE(name->text(), QStringLiteral("workstation-0123"));
        for (int i = 0; i < 7; ++i)
            QTest::keyClick(name, Qt::Key_Backspace);
        QTest::keyClicks(name, QStringLiteral("abc"));
        QCOMPARE(name->text(), QStringLiteral("workstatia"));

        QLineEdit *port = dialog->text3();
        port->clear();
        QTest::keyClicks(port, QStringLiteral("1234567"));
        QCOMPARE(port->text(), QStringLiteral("12345"));
    }

    // A Japanese input method commits full-width digits and kana without a key press.
    void inputMethodTextPassesTheFilters()
    {
        DialogFixture f;
        auto dialog = f.open();
        const auto commit = [](QLineEdit *box, const QString &text) {
            QInputMethodEvent event;
            event.setCommitString(text);
            QCoreApplication::sendEvent(box, &event);
            return box->text();
        };
        QLineEdit *port = dialog->text3();
        port->clear();
        QCOMPARE(commit(port, QStringLiteral("１２")), QString());
        QCOMPARE(commit(port, QStringLiteral("ぽ")), QString());
        QCOMPARE(commit(port, QStringLiteral("12")), QStringLiteral("12"));

        QLineEdit *mask = dialog->text2();
        mask->setText(QStringLiteral("255.255.255"));
        QCOMPARE(commit(mask, QStringLiteral("．")), QStringLiteral("255.255.255"));
        QCOMPARE(commit(mask, QStringLiteral(".0.")), QStringLiteral("255.255.255"));
        QCOMPARE(commit(mask, QStringLiteral(".0")), QStringLiteral("255.255.255.0"));

        // The name box takes what the input method composes.
        QLineEdit *name = dialog->text1();
        name->clear();
        QCOMPARE(commit(name, QStringLiteral("太郎")), QStringLiteral("太郎"));
    }

    void pureKeyDecisions()
    {
        QVERIFY(KeyFilter::maskAccepts(QStringLiteral("255.255"), QLatin1Char('.'), false));
        QVERIFY(KeyFilter::maskAccepts(QStringLiteral("255.255.255"), QLatin1Char('.'), false));
        QVERIFY(!KeyFilter::maskAccepts(QStringLiteral("255.255.255.0"), QLatin1Char('.'), false));
        QVERIFY(KeyFilter::maskAccepts(QStringLiteral("255.255.255"), QChar(), true));
        QVERIFY(!KeyFilter::portAccepts(QChar(), true));
        QVERIFY(KeyFilter::portAccepts(QLatin1Char('7'), false));
        QVERIFY(!KeyFilter::portAccepts(QChar(0xFF17), false)); // full-width 7
    }
};

QTEST_MAIN(TestForm2)
#include "tst_form2.moc"
