#pragma once

#include <QAccessibleWidget>

class QMessageBox;

// A message box as a screen reader reads it: Qt's alert, named by its title and its message.
// Orca reads an alert's name, then its labels: Orca 48 only labels of three words or more, and a
// Japanese sentence is one word to it, so it said only the box's title and its button. A label
// that the name already holds is not read again, by Orca 43 or 48. (A description would be read
// by Orca 48 but by Orca 43 after the label as well.)
class MessageBoxAccessible : public QAccessibleWidget
{
public:
    explicit MessageBoxAccessible(QMessageBox *box);

    QString text(QAccessible::Text t) const override;

private:
    QMessageBox *messageBox() const;
    // The text and the informative text, as they are read.
    QString message() const;
};
