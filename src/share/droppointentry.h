#pragma once

#include "shareentry.h"
#include "sharelifetime.h"

#include <QString>
#include <QStringList>

// One drop point: a link http://ADDR:PORT/u/CODE through which others upload files into a folder of
// the user's. The code is the only thing that lets somebody write there.
struct DropPointEntry
{
    // What a drop point takes in all, unless the user chose another limit.
    static constexpr qint64 defaultSizeLimit = qint64(4) * 1024 * 1024 * 1024;

    QString code;   // ShareCode::normalized form
    QString folder; // the files arrive here
    // The receiver's display name, for the page a browser shows.
    QString receiverName;
    // The addresses that may upload (IPv4 text); empty: everybody.
    QStringList senders;
    // Bytes the drop point takes over all its uploads, those still running included.
    qint64 sizeLimit = defaultSizeLimit;
    qint64 createdMs = 0;
    qint64 expiresMs = 0; // 0: until the program ends

    bool takesFrom(const QString &address) const { return senders.isEmpty() || senders.contains(address); }
};

// A file that arrived whole through a drop point.
struct DropPointReceipt
{
    QString code;
    QString name;      // the name it was saved under (after the reduction and numbering)
    QString savedPath; // folder/name
    qint64 size = 0;
    QByteArray sha256; // 32 bytes, computed while writing
    QString fromAddress;
    qint64 receivedMs = 0;
};

// An upload that can go on after its connection broke, or after a restart of the program: the
// resource /u/CODE/r/TOKEN appends to NAME.part until the sender says the file is whole.
struct ResumableUpload
{
    QString token;
    QString code;
    QString name;    // the reduced name the file is to be saved under, before numbering
    QString address; // the sender that created it: the only one that may append to it
    QString partPath;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 length = -1; // the whole file's size; -1 while the sender has not told it
    qint64 offset = 0;  // the bytes held in the .part
};
