#pragma once

#include "shareentry.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <memory>
#include <optional>

class ShareTable;

// A download being served, for the shares window.
struct ServedTransfer
{
    QString code;
    QString address;
    qint64 sent = 0;
    qint64 total = 0; // the bytes of this response (a range's length for a range)
};

// The HTTP server of the shared files: libmicrohttpd on threads of its own, answering only
// GET/HEAD /f/CODE from the ShareTable. Lives on the window's thread; its signals arrive queued.
class ShareServer : public QObject
{
    Q_OBJECT

public:
    ShareServer(ShareTable &table, ShareNow now, QObject *parent = nullptr);
    ~ShareServer() override;

    // Starts serving on the address and port (0: any free one); the failure's text otherwise.
    std::optional<QString> listen(const QHostAddress &address, quint16 port);
    // Stops serving; running downloads are cut.
    void close();
    quint16 port() const;

    QList<ServedTransfer> running() const;
    // Downloads of the share that received the whole file, or its last part (see shareserver.cpp).
    int finishedCount(const QString &code) const;
    // The addresses the guessing throttle remembers now.
    int throttledAddresses() const;

signals:
    // The file of a share is no longer the one that was shared: the share should end.
    void fileChanged(const QString &code);
    void downloadFinished(const QString &code, const QString &address);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
