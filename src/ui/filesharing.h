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

signals:
    // A share began, ended or counted a download.
    void changed();
};
