#include "module1.h"

#include "messagebox.h"
#include "net/chatsession.h"
#include "net/datagramnetwork.h"
#include "net/networkfollower.h"
#include "settingsfile.h"
#include "ui/form1.h"

Module1::Module1(Services &services, const QString &executableFolder, NetworkWatcher *networkWatcher)
    : m_services(services), m_executableFolder(executableFolder), m_networkWatcher(networkWatcher)
{
}

Module1::~Module1() = default;

QString Module1::appFolderOf(const QString &folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

bool Module1::Main()
{
    m_record.appFolder = appFolderOf(m_executableFolder);
    const SettingsFile::Location location =
        SettingsFile::locate(SettingsFile::probeLocation(m_record.appFolder));
    m_record.settingsReadPath = location.readPath;
    m_record.settingsSavePath = location.savePath;

    const SettingsFile::LoadResult loaded = SettingsFile::load(m_record, m_services.network.localHostName());
    if (loaded.error)
        return fail(*loaded.error);
    m_session =
        std::make_unique<ChatSession>(m_record, m_services.network, m_services.clock, m_services.scheduler);
    m_form1 = std::make_unique<Form1>(m_record, m_services, *m_session);
    if (loaded.fileFound)
        m_form1->applyTopMost(m_record.topMost);

    if (const auto error = m_session->open())
        return fail(*error);

    m_form1->show();
    if (const auto error = m_session->announce())
        return fail(*error);
    if (m_networkWatcher) {
        m_follower = std::make_unique<NetworkFollower>(*m_session, m_services.network, m_services.scheduler);
        m_follower->watch(*m_networkWatcher);
    }
    return true;
}

bool Module1::fail(const QString &description)
{
    if (m_form1)
        m_form1->hide();
    m_services.messages.critical(nullptr, QStringLiteral("err"), description);
    return false;
}
