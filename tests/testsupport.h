#pragma once

#include "app/clock.h"
#include "app/messagebox.h"
#include "app/module1.h"
#include "app/services.h"
#include "app/shell.h"
#include "net/virtuallan.h"

#include <QTemporaryDir>
#include <functional>
#include <memory>

class ChatSession;
class Form1;

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

class FixedClock : public Clock
{
public:
    QTime time = QTime(14, 3, 21);
    QTime timeOfDay() const override { return time; }
};

class RecordingShell : public Shell
{
public:
    QStringList opened;
    void openUrl(const QString &target) override { opened.append(target); }
};

// One instance of the program on a host of the virtual LAN, with a program folder of its own
// (or a given one, to start again where a previous instance left its set.txt).
class Instance
{
public:
    Instance(VirtualLan &lan, const QString &address, const QString &hostName, const QString &folder = QString());
    ~Instance();

    bool start();
    void writeSettings(const QByteArray &bytes) const;
    QByteArray settingsBytes() const;
    QString folder() const { return m_folder; }

    VirtualHost &host() { return *m_host; }
    Module1 &module() { return *m_module; }
    SettingsRecord &record() { return m_module->record(); }
    Form1 *form() const;
    ChatSession *session() const;
    QStringList chatLog() const;
    QStringList participants() const;
    // Closes the window and waits until the leaving sequence has ended.
    bool closeAndWait();

    RecordingMessageBox messages;
    FixedClock clock;
    RecordingShell shell;

private:
    std::unique_ptr<VirtualHost> m_host;
    QTemporaryDir m_dir;
    QString m_folder;
    Services m_services;
    std::unique_ptr<Module1> m_module;
};

// A program of another kind on the LAN that sends raw payloads.
class RawPeer
{
public:
    RawPeer(VirtualLan &lan, const QString &address);
    void send(const QByteArray &payload, const QString &to, quint16 port);
    void sendText(const QString &text, const QString &to, quint16 port);

private:
    std::unique_ptr<VirtualHost> m_host;
    std::unique_ptr<DatagramSocket> m_socket;
};

// The payloads sent to a port, decoded, optionally only those from one address.
QStringList sentTexts(const VirtualLan &lan, quint16 port, const QString &from = QString());

inline const QString lanBroadcast = QStringLiteral("198.18.0.255");
