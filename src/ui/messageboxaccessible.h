#pragma once

#include <QAccessibleWidget>

class QMessageBox;

// A message box as a screen reader reads it: Qt's alert, with the message also as its
// description. Orca 48 reads an alert's description, or labels of three words or more, and a
// Japanese sentence is one word to it: without the description it said only the box's title and
// its button. Orca 43 reads the label and leaves the description out.
class MessageBoxAccessible : public QAccessibleWidget
{
public:
    explicit MessageBoxAccessible(QMessageBox *box);

    QString text(QAccessible::Text t) const override;

private:
    QMessageBox *messageBox() const;
    QString message() const;
};
