#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// Milliseconds since the epoch, behind a seam so tests can move the time.
using ShareNow = std::function<qint64()>;

// What says that a shared file is still the one that was shared: any change of content, a move or
// a replacement changes one of these.
struct FileIdentity
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 mtimeNs = 0;

    // The identity of an open descriptor or a path; nothing when it cannot be read.
    static std::optional<FileIdentity> of(int descriptor);
    static std::optional<FileIdentity> ofPath(const QString &path);
    // A strong ETag made from the identity: the same after a restart, another after any change.
    QByteArray etag() const;

    friend bool operator==(const FileIdentity &, const FileIdentity &) = default;
};

// One shared file as the server and the registry see it.
struct ShareEntry
{
    QString code; // ShareCode::normalized form
    QString path; // the file itself; never copied
    QString name; // the real name, for Content-Disposition
    FileIdentity identity;
    QByteArray sha256; // 32 bytes; empty while it is being computed
    // The addresses it was sent to (IPv4 text); empty: everybody.
    QStringList recipients;
    qint64 sharedMs = 0;
    qint64 expiresMs = 0; // 0: until the program ends

    bool servesTo(const QString &address) const
    {
        return recipients.isEmpty() || recipients.contains(address);
    }
};
