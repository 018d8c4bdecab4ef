#pragma once

#include "app/messagebox.h"

#include <QList>
#include <functional>

// Remembers what the user would have been told, and returns at once.
class RecordingMessageBox : public MessageBox
{
public:
    struct Shown
    {
        QString title;
        QString text;
    };
    QList<Shown> shown;
    std::function<void()> onShow;

    void critical(QWidget *parent, const QString &title, const QString &text) override;
};
