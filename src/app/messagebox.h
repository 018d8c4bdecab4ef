#pragma once

#include <QString>

class QWidget;

// Message boxes behind a seam, so tests can see what the user would be told.
class MessageBox
{
public:
    virtual ~MessageBox();
    // Critical icon, one OK button; returns once it was dismissed.
    virtual void critical(QWidget *parent, const QString &title, const QString &text) = 0;
};
