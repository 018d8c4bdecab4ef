#pragma once

#include "app/services.h"
#include "app/settingsrecord.h"
#include "layout.h"

#include <QMainWindow>
#include <QPointer>
#include <memory>

class ChatSession;
class DesktopAlerts;
class EntryListView;
class Form2;
class Form3;
class ParticipantListView;
class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TitleIndicator;
class Timer;

// The chat window: input line, chat log, participant list, the "Option" menu, the title
// indicator and the popup, over the chat session that Module1 hands it.
class Form1 : public QMainWindow
{
    Q_OBJECT

public:
    // The home page that "作者HP" opens.
    static const QString authorHomePage;

    Form1(SettingsRecord &record, Services &services, ChatSession &session, QWidget *parent = nullptr);
    ~Form1() override;

    ChatSession *session() const { return m_session; }
    TitleIndicator *indicator() const { return m_indicator; }
    DesktopAlerts *alerts() const { return m_alerts; }
    QAction *setMM(int index) const { return m_setMM[index]; }
    QLineEdit *text1() const { return m_text1; }
    EntryListView *list1() const { return m_list1; }
    ParticipantListView *list2() const { return m_list2; }
    QCheckBox *check1() const { return m_check1; }
    QPushButton *command1() const { return m_command1; }
    Form3 *popup() const;
    Form2 *settingsDialog() const;
    ControlsGeometry controlsGeometry() const { return m_controls; }

    // The outer geometry (frame included) in twips; the normal geometry while minimized or maximized.
    WindowGeometryTwips outerGeometryTwips() const;
    // The always-on-top state with the caption of setMM(1) that goes with it.
    void applyTopMost(bool on);
    void setMMClick(int index);
    void showPopup();
    bool isLeaving() const { return m_leaving; }

signals:
    // The leaving sequence has ended: the program ends now.
    void finished();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void createControls();
    void createMenu();
    void load();
    void onResize();
    void applyControls();
    void sendDecision();
    void runLeavingSequence();
    void askForAttention();
    void openFromDesktop();

    SettingsRecord &m_record;
    Services &m_services;
    ChatSession *m_session;
    TitleIndicator *m_indicator;
    DesktopAlerts *m_alerts;
    std::unique_ptr<Timer> m_leavingTimer;

    QLineEdit *m_text1 = nullptr;
    EntryListView *m_list1 = nullptr;
    QPushButton *m_command1 = nullptr;
    ParticipantListView *m_list2 = nullptr;
    QLabel *m_label1 = nullptr;
    QCheckBox *m_check1 = nullptr;
    QAction *m_setMM[5] = {};

    ControlsGeometry m_controls;
    QPointer<Form3> m_form3;
    QPointer<Form2> m_form2;
    WindowGeometryTwips m_restoredOuter;
    bool m_restoring = false;
    bool m_fitPending = false;
    bool m_leaving = false;
    bool m_attentionAsked = false;
};
