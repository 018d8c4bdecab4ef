#pragma once

#include "app/settingschange.h"
#include "app/settingsrecord.h"

#include <QDialog>

class MessageBox;
class QCheckBox;
class QLineEdit;
class QPushButton;

// Key filters of the settings dialog, as pure decisions on one typed key.
namespace KeyFilter {

// The mask box: digits, "." and Backspace; a "." is refused once the text holds three points.
bool maskAccepts(const QString &currentText, QChar key, bool backspace);
// The port box: digits only; Backspace is refused too (Delete, not a character key, still deletes).
bool portAccepts(QChar key, bool backspace);
// Text committed at once by an input method: accepted only when every character would be, typed
// one after the other.
bool maskAcceptsCommit(QString currentText, const QString &commit);
bool portAcceptsCommit(const QString &commit);

} // namespace KeyFilter

// "設定": the participant name, the "Only" option, the chat port and the subnet mask. A fresh
// dialog on each opening, filled from the settings record; Ok hands the values to the function it
// was given and shows what it answers.
class Form2 : public QDialog
{
    Q_OBJECT

public:
    Form2(const SettingsRecord &record, SettingsChange::Apply apply, MessageBox &messages,
          QWidget *parent = nullptr);

    // After Ok: the chat port differs from the one the program runs on; it must end now.
    bool portChanged() const { return m_portChanged; }

    QLineEdit *text1() const { return m_text1; }
    QLineEdit *text2() const { return m_text2; }
    QLineEdit *text3() const { return m_text3; }
    QCheckBox *check3() const { return m_check3; }
    QPushButton *command1() const { return m_command1; }
    QPushButton *command2() const { return m_command2; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void ok();
    void centreOnScreen(QMargins frame);

    SettingsChange::Apply m_apply;
    MessageBox &m_messages;
    QLineEdit *m_text1;
    QLineEdit *m_text2;
    QLineEdit *m_text3;
    QCheckBox *m_check3;
    QPushButton *m_command1;
    QPushButton *m_command2;
    bool m_portChanged = false;
};
