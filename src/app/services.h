#pragma once

#include <QString>

class Clock;
class DatagramNetwork;
class Scheduler;
class QWidget;

// Message boxes behind a seam, so tests can see what the user would be told.
class MessageBox
{
public:
    virtual ~MessageBox();
    // Critical icon, one OK button; returns once it was dismissed.
    virtual void critical(QWidget *parent, const QString &title, const QString &text) = 0;
};

class WidgetMessageBox : public MessageBox
{
public:
    void critical(QWidget *parent, const QString &title, const QString &text) override;
};

// The desktop's default opener.
class Shell
{
public:
    virtual ~Shell();
    // Returns at once; the opener's own result is not waited for.
    virtual void openUrl(const QString &target) = 0;
};

class DesktopShell : public Shell
{
public:
    void openUrl(const QString &target) override;
};

// What one instance needs from the machine, handed to it at construction.
struct Services
{
    DatagramNetwork &network;
    MessageBox &messages;
    const Clock &clock;
    Shell &shell;
    Scheduler &scheduler;
};
