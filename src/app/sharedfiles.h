#pragma once

#include "share/downloadstore.h"
#include "share/sharestore.h"
#include "share/sharetable.h"
#include "ui/filedownloads.h"
#include "ui/filesharing.h"

#include <QNetworkAccessManager>
#include <memory>

class Scheduler;
class ShareRegistry;
class ShareServer;
class Transfers;

// The shares of this instance and their server, the downloads, and the windows' view of both.
// Started after the join notice, on the file the history uses; the server answers on the chat's
// LAN address only.
class SharedFiles : public QObject
{
    Q_OBJECT

public:
    SharedFiles(Scheduler &scheduler, QObject *parent = nullptr);
    ~SharedFiles() override;

    // Opens the stores in databasePath (memory only when they cannot be used: told by notice),
    // loads the shares, resumes the downloads and starts serving on address. The chat port tells
    // this instance's shares and downloads from those of another instance using the same file.
    void start(const QString &databasePath, const QString &address, int chatPort);
    // The chat moved to another address: the server follows it. Links already sent keep the old one.
    void follow(const QString &address);
    // The program ends: shares "until the program ends" are removed, the server stops.
    void finish();

    FileSharing &sharing() { return *m_sharing; }
    FileDownloads &downloads() { return *m_downloads; }
    ShareRegistry *registry() const { return m_registry.get(); }
    ShareServer *server() const { return m_server.get(); }
    Transfers *transfers() const { return m_transfers.get(); }
    // The address and port links are made with; nothing while the server is not listening.
    QString host() const { return m_listening ? m_address : QString(); }

signals:
    // Something the user should know, as a line for the chat log.
    void notice(const QString &logLine);

private:
    class Sharing;
    class Downloads;

    void listen(const QString &address);

    Scheduler &m_scheduler;
    ShareTable m_table;
    ShareStore m_shareStore;
    std::unique_ptr<DownloadStore> m_downloadStore;
    QNetworkAccessManager m_network;
    std::unique_ptr<ShareRegistry> m_registry;
    std::unique_ptr<ShareServer> m_server;
    std::unique_ptr<Transfers> m_transfers;
    std::unique_ptr<FileSharing> m_sharing;
    std::unique_ptr<FileDownloads> m_downloads;
    QString m_address;
    bool m_listening = false;
};
