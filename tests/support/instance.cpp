#include "instance.h"

#include "app/settingsfile.h"
#include "net/chatsession.h"
#include "ui/form1.h"
#include "ui/participantlistview.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

Instance::Instance(VirtualLan &lan, ManualScheduler &time, const QString &address, const QString &hostName,
                   const QString &folder)
    : m_time(&time), m_host(lan.addHost(address, hostName)),
      m_folder(folder.isEmpty() ? m_dir.path() : folder), m_services{*m_host, messages, clock, shell,
                                                                     time,    desktop,  false},
      m_module(std::make_unique<Module1>(m_services, m_folder, &networkWatcher))
{
}

Instance::Instance(VirtualLan &lan, const QString &address, const QString &hostName, const QString &folder,
                   MessageBox &sharedBox, const Clock &sharedClock, UrlOpener &sharedShell,
                   Scheduler &scheduler)
    : m_host(lan.addHost(address, hostName)),
      m_folder(folder.isEmpty() ? m_dir.path() : folder), m_services{*m_host,     sharedBox, sharedClock,
                                                                     sharedShell, scheduler, desktop,
                                                                     false},
      m_module(std::make_unique<Module1>(m_services, m_folder, &networkWatcher))
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
    QSignalSpy finished(m_module.get(), &Module1::finished);
    form()->close();
    if (!m_time)
        return finished.count() == 1 || finished.wait(10000);
    m_time->advance(1000);
    return finished.count() == 1;
}

void selectParticipant(Form1 *form, const QString &ip)
{
    const QStringList entries = form->session()->participants()->entries();
    for (int row = 0; row < entries.size(); ++row) {
        if (entries.at(row).endsWith(QStringLiteral("\t\t") + ip)) {
            const QRect rect = form->list2()->visualRect(form->list2()->model()->index(row, 0));
            QTest::mouseClick(form->list2()->viewport(), Qt::LeftButton, {}, rect.center());
            return;
        }
    }
    qFatal("participant %s not listed", qPrintable(ip));
}
