#pragma once

#include "share/sharelifetime.h"

#include <QList>
#include <QObject>
#include <QStringList>

// One share as the shares window lists it.
struct ShareRow
{
    QString code;
    QString name;
    qint64 size = 0;
    QStringList recipients; // addresses; empty: everybody
    int downloadsFinished = 0;
    int downloadsRunning = 0;
    qint64 runningBytesSent = 0; // of the running downloads together
    qint64 runningBytesTotal = 0;
    qint64 msLeft = -1; // until it expires; -1: until the program ends
};

// One open drop point as the shares window lists it.
struct DropPointRow
{
    QString code;
    QString url;         // empty while the server is not listening
    QStringList senders; // addresses; empty: everybody
    int filesReceived = 0;
    QString lastFile;   // the name the newest file was saved under
    qint64 msLeft = -1; // -1: until the program ends
    int uploading = 0;  // uploads being written now
    qint64 uploadingBytes = 0;
    qint64 uploadingTotal = -1; // the sizes they announced; -1 when one did not
};

// The windows' side of sharing files: what the registry does for them.
class FileSharing : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~FileSharing() override;

    struct Offer
    {
        QString line;  // the chat line to send; empty when the file could not be shared
        QString error; // why not, for the user
    };
    // Shares the file for the lifetime with the given addresses (empty: everybody) and returns the
    // line that hands it over.
    virtual Offer offer(const QString &path, ShareLifetime lifetime, const QStringList &recipients) = 0;
    virtual QList<ShareRow> shares() const = 0;
    virtual void stop(const QString &code) = 0;

    struct DropPointOffer
    {
        QString code;
        QString line;  // the chat line that hands the link over; empty when none could be opened
        QString error; // why not, for the user
    };
    // Opens a drop point into folder for the senders' addresses (empty: everybody) and returns the
    // line that hands its link over.
    virtual DropPointOffer openDropPoint(const QString &folder, ShareLifetime lifetime,
                                         const QStringList &senders, const QString &receiverName,
                                         qint64 sizeLimit) = 0;
    virtual QList<DropPointRow> dropPoints() const = 0;
    virtual void stopDropPoint(const QString &code) = 0;

signals:
    // A share or a drop point began, ended or counted a download or a file.
    void changed();
    // A file arrived whole through a drop point. name and fromAddress come from the network.
    void fileReceived(const QString &name, qint64 size, const QString &fromAddress, const QString &folder);
    // An upload stopped on this side (a full disk, a write error); nothing of it was kept.
    void uploadFailed(const QString &name, const QString &reason, const QString &folder);
};
