#pragma once

#include "share/downloadstore.h"
#include "share/droppointstore.h"
#include "share/droppointtable.h"
#include "share/sharestore.h"
#include "share/sharetable.h"
#include "ui/filedownloads.h"
#include "ui/filesharing.h"

#include <memory>
#include <optional>

class DropPointRegistry;
class QNetworkAccessManager;
class Scheduler;
class ShareRegistry;
class ShareServer;
class Timer;
class Transfers;

// The shares of this instance and their server, the downloads, and the windows' view of both.
// Started after the join notice, on the file the history uses. The server answers on the chat's
// LAN address only, and runs only while there is something to serve: with nothing shared, the
// program carries neither libmicrohttpd nor its threads.
class SharedFiles : public QObject
{
    Q_OBJECT

public:
    SharedFiles(Scheduler &scheduler, QObject *parent = nullptr);
    ~SharedFiles() override;

    // Looks in databasePath for what an earlier run kept; when there is something, wakes at once.
    // Otherwise the stores, registries and transfers wait for the first use of the views or of the
    // accessors below. The chat port tells this instance's shares and downloads from those of
    // another instance using the same file.
    void start(const QString &databasePath, const QString &address, int chatPort);
    // Opens the stores in the file start() was given (memory only when the path is empty, or when
    // they cannot be used: told by notice), loads the shares, resumes the downloads, and serves on
    // the address when a share kept from an earlier run still holds. Once.
    void wake();
    bool awake() const { return m_awake; }
    // The chat moved to another address: the server follows it, now or when it next starts. Links
    // already sent keep the old one.
    void follow(const QString &address);
    // The program ends: shares "until the program ends" are removed, the server stops.
    void finish();

    FileSharing &sharing() { return *m_sharing; }
    FileDownloads &downloads() { return *m_downloads; }
    // These wake the rest first.
    ShareRegistry *registry()
    {
        wake();
        return m_registry.get();
    }
    // The drop points; opening one starts the server (its link: host(), server()->port(), /u/CODE).
    DropPointRegistry *dropPoints()
    {
        wake();
        return m_dropPoints.get();
    }
    ShareServer *server()
    {
        wake();
        return m_server.get();
    }
    Transfers *transfers()
    {
        wake();
        return m_transfers.get();
    }
    // The address and port links are made with; nothing while the server is not listening.
    QString host() const { return m_listening ? m_address : QString(); }
    // Whether anything needs the server now. The one place that decides it.
    bool somethingToServe() const;

    // Once nothing is left to serve the server goes on this long, so that a download still trying
    // (every 30 s at most while the sender is away) hears that its share has ended (410).
    static constexpr int endingsToldMs = 2 * 60 * 1000;
    // Then, while downloads of ended shares still run, this often it looks whether they are over.
    static constexpr int drainCheckMs = 2000;

signals:
    // Something the user should know, as a line for the chat log.
    void notice(const QString &logLine);

private:
    class Sharing;
    class Downloads;

    // Starts the server when there is something to serve and it is not listening; a failure to
    // listen is told.
    void serveIfNeeded();
    void tellFailure(const std::optional<QString> &failure);
    // Stops the server endingsToldMs after there is nothing left to serve, and once the downloads
    // still running from ended shares are over.
    void stopWhenIdle();
    void idle();
    // The failure's text, when no port of the range could be had.
    std::optional<QString> listen();
    void stopServing();

    Scheduler &m_scheduler;
    ShareTable m_table;
    ShareStore m_shareStore;
    DropPointTable m_dropTable;
    DropPointStore m_dropStore;
    std::unique_ptr<DownloadStore> m_downloadStore;
    // Made with the first download or question to a sender.
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<ShareRegistry> m_registry;
    std::unique_ptr<DropPointRegistry> m_dropPoints;
    std::unique_ptr<ShareServer> m_server;
    std::unique_ptr<Transfers> m_transfers;
    std::unique_ptr<FileSharing> m_sharing;
    std::unique_ptr<FileDownloads> m_downloads;
    Sharing *m_sharingView = nullptr;
    Downloads *m_downloadsView = nullptr;
    QString m_databasePath;
    int m_chatPort = 0;
    bool m_awake = false;
    // Runs while nothing is left to serve and the server still listens.
    std::unique_ptr<Timer> m_idleTimer;
    QString m_address;
    bool m_listening = false;
};
