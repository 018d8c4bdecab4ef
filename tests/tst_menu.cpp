#include "testsupport.h"

#include "app/windowservices.h"
#include "net/chatsession.h"
#include "net/participants.h"
#include "ui/accessibility.h"
#include "ui/form1.h"
#include "ui/form2.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

class TestMenu : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Accessibility::installRoles(); }

    // Read in the open menu: a check item named "Top" whatever its caption, with its state.
    void topReadsAsACheckItem()
    {
        LanWithInstance fixture;
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        QAction *top = a.form()->setMM(1);
        QAccessibleInterface *menu = QAccessible::queryAccessibleInterface(top->parent());
        QAccessibleInterface *item = nullptr;
        for (int i = 0; i < menu->childCount() && !item; ++i)
            item = menu->child(i)->object() == top ? menu->child(i) : nullptr;
        QVERIFY(item);
        // A menu item, so that a screen reader follows it in the menu; Qt 6.4 has no check menu item.
        QCOMPARE(item->role(), QAccessible::MenuItem);
        QCOMPARE(item->parent(), menu);
        QVERIFY(item->state().checkable && !item->state().checked);
        QCOMPARE(item->text(QAccessible::Name), QStringLiteral("Top"));
        top->trigger();
        QCOMPARE(top->iconText(), QStringLiteral("No Top"));
        // The menu is gone when the change is made: it is announced.
        auto *announcement = a.form()->findChild<QLabel *>(QStringLiteral("announcement"));
        QVERIFY(announcement);
        QCOMPARE(announcement->text(), QStringLiteral("Top: オン"));
        QCOMPARE(item->text(QAccessible::Name), QStringLiteral("Top"));
        QVERIFY(item->state().checked);
        item->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(!top->isChecked());
        QVERIFY(!item->state().checked);
    }

    void menuItems()
    {
        LanWithInstance fixture;
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        const QStringList captions = {QStringLiteral("Set"), QStringLiteral("Top"), QString(),
                                      QStringLiteral("End"), QStringLiteral("作者HP")};
        for (int i = 0; i < 5; ++i) {
            if (i != 2)
                QCOMPARE(a.form()->setMM(i)->iconText(), captions.at(i));
            QVERIFY(a.form()->setMM(i)->shortcut().isEmpty());
            // "Top" alone is a check item, for a screen reader to tell its state; none is checked.
            QCOMPARE(a.form()->setMM(i)->isCheckable(), i == 1);
            QVERIFY(!a.form()->setMM(i)->isChecked());
        }
        // Mnemonics underline a letter of each caption: Alt+O, then S, T, E, H.
        const QStringList mnemonics = {QStringLiteral("&Set"), QStringLiteral("&Top"), QString(),
                                       QStringLiteral("&End"), QStringLiteral("作者&HP")};
        for (int i : {0, 1, 3, 4})
            QCOMPARE(a.form()->setMM(i)->text(), mnemonics.at(i));
        QCOMPARE(qobject_cast<QMenu *>(a.form()->setMM(0)->parent())->title(), QStringLiteral("&Option"));
        QVERIFY(a.form()->setMM(2)->isSeparator());
    }

    void topTogglesTheBandAndTheCaptionTogether()
    {
        LanWithInstance fixture;
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        Form1 *form = a.form();
        const WId window = form->winId();
        const QPoint position = form->pos();
        form->setMM(1)->trigger();
        QVERIFY(isTopMost(form));
        QVERIFY(a.record().topMost);
        QCOMPARE(form->setMM(1)->iconText(), QStringLiteral("No Top"));
        QVERIFY(form->setMM(1)->isChecked());
        form->setMM(1)->trigger();
        QVERIFY(!isTopMost(form));
        QVERIFY(!a.record().topMost);
        QCOMPARE(form->setMM(1)->iconText(), QStringLiteral("Top"));
        QVERIFY(!form->setMM(1)->isChecked());
        // A direct call, as start-up's settings loader makes, keeps the check mark in step too.
        form->applyTopMost(true);
        QVERIFY(form->setMM(1)->isChecked());
        form->applyTopMost(false);
        QCOMPARE(form->winId(), window);
        QCOMPARE(form->pos(), position);
        QVERIFY(form->isVisible());
    }

    void topIsKeptAcrossARestart()
    {
        VirtualLan lan;
        ManualScheduler time;
        QTemporaryDir dir;
        {
            Instance a(lan, time, QStringLiteral("198.18.0.1"), QStringLiteral("host-a"), dir.path());
            QVERIFY(a.start());
            a.form()->setMM(1)->trigger();
            QVERIFY(a.closeAndWait());
        }
        Instance again(lan, time, QStringLiteral("198.18.0.1"), QStringLiteral("host-a"), dir.path());
        QVERIFY(again.start());
        QVERIFY(isTopMost(again.form()));
        QCOMPARE(again.form()->setMM(1)->iconText(), QStringLiteral("No Top"));
        QVERIFY(again.form()->setMM(1)->isChecked());
    }

    // Keyboard users open the menu with F10, as in most Linux programs.
    void f10OpensTheMenu()
    {
        LanWithInstance fixture;
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        Form1 *form = a.form();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form));
        auto *opt = qobject_cast<QMenu *>(form->setMM(0)->parent());
        QVERIFY(!opt->isVisible());
        QTest::keyClick(form->text1(), Qt::Key_F10);
        QTRY_VERIFY(opt->isVisible());
        QCOMPARE(form->menuBar()->activeAction(), opt->menuAction());
        opt->close();
    }

    void setLeavesTheBandWhileTheDialogIsOpen()
    {
        LanWithInstance fixture;
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        Form1 *form = a.form();
        form->setMM(1)->trigger();
        bool topMostDuringDialog = true;
        bool dialogModal = false;
        QTimer::singleShot(0, form, [&] {
            Form2 *dialog = form->settingsDialog();
            QVERIFY(dialog);
            dialogModal = dialog->isModal() && dialog->isVisible();
            topMostDuringDialog = isTopMost(form);
            QTest::mouseClick(dialog->command2(), Qt::LeftButton);
        });
        form->setMM(0)->trigger();
        QVERIFY(dialogModal);
        QVERIFY(!topMostDuringDialog);
        QVERIFY(isTopMost(form));
        QCOMPARE(form->setMM(1)->iconText(), QStringLiteral("No Top"));
        QVERIFY(!form->settingsDialog());
    }

    void setWhileNotOnTopStaysOutOfTheBand()
    {
        LanWithInstance fixture;
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        Form1 *form = a.form();
        QString shownName;
        QTimer::singleShot(0, form, [&] {
            Form2 *dialog = form->settingsDialog();
            shownName = dialog->text1()->text();
            dialog->text1()->setText(QStringLiteral("renamed"));
            QTest::mouseClick(dialog->command1(), Qt::LeftButton);
        });
        form->setMM(0)->trigger();
        QCOMPARE(shownName, QStringLiteral("host-a"));
        QVERIFY(!isTopMost(form));
        // The new name is used from the next datagram on; the window goes on running.
        QCOMPARE(a.record().userName, QStringLiteral("renamed"));
        QVERIFY(form->isVisible());
        lan.clearSent();
        form->text1()->setText(QStringLiteral("hi"));
        QTest::keyClick(form->text1(), Qt::Key_Return);
        QCOMPARE(sentTexts(lan, 1000), QStringList{QStringLiteral("renamed\thi\t198.18.0.1")});

        // A fresh dialog shows the stored values, not what was typed before a No.
        QString reopened;
        QTimer::singleShot(0, form, [&] {
            Form2 *dialog = form->settingsDialog();
            reopened = dialog->text1()->text();
            dialog->text1()->setText(QStringLiteral("discarded"));
            QTest::mouseClick(dialog->command2(), Qt::LeftButton);
        });
        form->setMM(0)->trigger();
        QTimer::singleShot(0, form, [&] {
            Form2 *dialog = form->settingsDialog();
            reopened += QLatin1Char('|') + dialog->text1()->text();
            QTest::mouseClick(dialog->command2(), Qt::LeftButton);
        });
        form->setMM(0)->trigger();
        QCOMPARE(reopened, QStringLiteral("renamed|renamed"));
    }

    // A new mask is used from the next line and the leave notice on; the answer to a newcomer (a
    // join notice) keeps the start-up broadcast address, as the Windows peers do.
    void newMaskTakesLinesAndLeaveButNotAnswers()
    {
        LanWithInstance fixture;
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        Form1 *form = a.form();
        QTimer::singleShot(0, form, [&] {
            Form2 *dialog = form->settingsDialog();
            dialog->text2()->setText(QStringLiteral("255.255.0.0"));
            QTest::mouseClick(dialog->command1(), Qt::LeftButton);
        });
        form->setMM(0)->trigger();
        QCOMPARE(a.record().broadcastAddress, QStringLiteral("198.18.255.255"));
        lan.clearSent();

        RawPeer newcomer(lan, QStringLiteral("198.18.0.60"));
        newcomer.sendText(QStringLiteral("1\tTaro\t198.18.0.60"), QStringLiteral("198.18.0.255"), 50011);
        QTRY_COMPARE(a.participants().size(), 1);
        time.advance(Participants::answerDelayMs(QStringLiteral("198.18.0.1")));
        form->text1()->setText(QStringLiteral("hi"));
        QTest::keyClick(form->text1(), Qt::Key_Return);
        QVERIFY(a.closeAndWait());

        const auto destinations = [&lan](quint16 port) {
            QStringList to;
            for (const VirtualLan::Datagram &datagram : lan.sentTo(port)) {
                if (datagram.from.toString() == QStringLiteral("198.18.0.1"))
                    to.append(QString::fromLatin1(datagram.payload.left(1)) + QLatin1Char('>') +
                              datagram.to.toString());
            }
            return to;
        };
        QCOMPARE(destinations(50011),
                 (QStringList{QStringLiteral("1>198.18.0.255"), QStringLiteral("2>198.18.255.255")}));
        QCOMPARE(destinations(1000), QStringList{QStringLiteral("h>198.18.255.255")});
    }

    // Lines go to the chat port of set.txt, not to the standard one.
    void linesGoToTheChatPort()
    {
        LanWithInstance fixture;
        auto &[lan, time, a] = fixture;
        a.writeSettings("host-a\t0\t1\t0\t0\t6630\t4455\t255.255.255.0\t0\t1234\r\n");
        QVERIFY(a.start());
        lan.clearSent();
        a.form()->text1()->setText(QStringLiteral("hi"));
        QTest::keyClick(a.form()->text1(), Qt::Key_Return);
        QVERIFY(lan.sentTo(1000).isEmpty());
        QCOMPARE(sentTexts(lan, 1234), QStringList{QStringLiteral("host-a\thi\t198.18.0.1")});
        QCOMPARE(lan.sentTo(1234).first().to.toString(), lanBroadcast);
    }

    // A new port takes effect only at the next start: save, say so, then the leaving sequence.
    void portChangeEndsTheProgram()
    {
        LanWithInstance fixture;
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        Form1 *form = a.form();
        QSignalSpy finished(&a.module(), &Module1::finished);
        lan.clearSent();
        QTimer::singleShot(0, form, [&] {
            Form2 *dialog = form->settingsDialog();
            dialog->text3()->setText(QStringLiteral("1001"));
            QTest::mouseClick(dialog->command1(), Qt::LeftButton);
        });
        form->setMM(0)->trigger();
        QCOMPARE(a.messages.shown.size(), 1);
        QCOMPARE(a.messages.shown.first().title, QStringLiteral("ポート変更"));
        QVERIFY(form->isLeaving());
        QCOMPARE(sentTexts(lan, 50011), QStringList{QStringLiteral("2\thost-a\t198.18.0.1")});
        QVERIFY(a.settingsBytes().endsWith("\t1001\r\n"));
        time.advance(1000);
        QCOMPARE(finished.count(), 1);
    }

    void endIsTheCloseBox()
    {
        VirtualLan lan;
        ManualScheduler time;
        QByteArray fileByEnd;
        QStringList sentByEnd;
        QByteArray fileByClose;
        QStringList sentByClose;
        for (bool viaMenu : {true, false}) {
            Instance a(lan, time, QStringLiteral("198.18.0.1"), QStringLiteral("host-a"));
            QVERIFY(a.start());
            lan.clearSent();
            QSignalSpy finished(&a.module(), &Module1::finished);
            if (viaMenu)
                a.form()->setMM(3)->trigger();
            else
                a.form()->close();
            time.advance(1000);
            QCOMPARE(finished.count(), 1);
            (viaMenu ? fileByEnd : fileByClose) = a.settingsBytes();
            (viaMenu ? sentByEnd : sentByClose) = sentTexts(lan, 50011);
        }
        QVERIFY(!fileByEnd.isEmpty());
        QCOMPARE(fileByEnd, fileByClose);
        QCOMPARE(sentByEnd, sentByClose);
        QCOMPARE(sentByEnd.size(), 1);
    }

    // The item hands the address to the desktop's opener; that the opener is not waited for is
    // checked with the real one under X (tests/x11, case home_page).
    void homePageGoesToTheOpener()
    {
        LanWithInstance fixture;
        auto &[lan, time, a] = fixture;
        QVERIFY(a.start());
        a.form()->setMM(4)->trigger();
        QCOMPARE(a.shell.opened, QStringList{Form1::authorHomePage});
        QVERIFY(a.form()->isVisible());
    }
};

QTEST_MAIN(TestMenu)
#include "tst_menu.moc"
