#include "testsupport.h"

#include "app/cp932.h"
#include "app/settingsfile.h"
#include "net/chatsession.h"
#include "ui/form1.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

void RecordingMessageBox::critical(QWidget *, const QString &title, const QString &text)
{
    shown.append({title, text});
    if (onShow)
        onShow();
}

Instance::Instance(VirtualLan &lan, ManualScheduler &time, const QString &address, const QString &hostName,
                   const QString &folder)
    : m_time(time), m_host(lan.addHost(address, hostName)),
      m_folder(folder.isEmpty() ? m_dir.path() : folder), m_services{*m_host, messages, clock, shell, time},
      m_module(std::make_unique<Module1>(m_services, m_folder))
{
}

Instance::~Instance()
{
    m_module.reset();
}

bool Instance::start()
{
    return m_module->Main();
}

void Instance::writeSettings(const QByteArray &bytes) const
{
    QFile file(SettingsFile::path(m_folder + QLatin1Char('/')));
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

QByteArray Instance::settingsBytes() const
{
    QFile file(SettingsFile::path(m_folder + QLatin1Char('/')));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

Form1 *Instance::form() const
{
    return m_module->form1();
}

ChatSession *Instance::session() const
{
    return form()->session();
}

QStringList Instance::chatLog() const
{
    return session()->chatLog()->entries();
}

QStringList Instance::participants() const
{
    return session()->participants()->entries();
}

bool Instance::closeAndWait()
{
    QSignalSpy finished(form(), &Form1::finished);
    form()->close();
    m_time.advance(1000);
    return finished.count() == 1;
}

RawPeer::RawPeer(VirtualLan &lan, const QString &address)
    : m_host(lan.addHost(address, QStringLiteral("peer"))), m_socket(m_host->createSocket())
{
    m_socket->bind(40000);
}

void RawPeer::send(const QByteArray &payload, const QString &to, quint16 port)
{
    m_socket->sendTo(payload, QHostAddress(to), port);
}

void RawPeer::sendText(const QString &text, const QString &to, quint16 port)
{
    send(Cp932::encode(text), to, port);
}

QStringList sentTexts(const VirtualLan &lan, quint16 port, const QString &from)
{
    QStringList texts;
    for (const VirtualLan::Datagram &datagram : lan.sentTo(port)) {
        if (from.isEmpty() || datagram.from.toString() == from)
            texts.append(Cp932::decode(datagram.payload));
    }
    return texts;
}
