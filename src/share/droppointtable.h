#pragma once

#include "droppointentry.h"

#include <QHash>
#include <QMutex>
#include <QQueue>
#include <memory>
#include <optional>

class Sha256;

// The drop points the server takes uploads for, filled by the registry on the window's thread and
// read by the server's threads. It also counts the bytes each drop point has taken and holds the
// .part files being written, so that an ended drop point's unfinished files can be removed.
class DropPointTable
{
public:
    static constexpr int rememberedEndings = 4096;

    // A .part being written: removed only while it is still the file the upload created.
    struct Part
    {
        quint64 id = 0;
        QString path;
        quint64 device = 0;
        quint64 inode = 0;
    };

    void put(const DropPointEntry &entry);
    // Removes the drop point and remembers its code (410 from then on); the .part files of the
    // uploads still running are handed back for removal.
    QList<Part> end(const QString &code);
    bool ended(const QString &code) const;
    std::optional<DropPointEntry> find(const QString &code) const;
    int size() const;

    // Claims bytes of the drop point's limit for an upload; false (nothing claimed) when the limit
    // would be passed or the drop point is gone.
    bool claim(const QString &code, qint64 bytes);
    // Gives back bytes claimed by an upload that did not complete.
    void unclaim(const QString &code, qint64 bytes);
    qint64 claimed(const QString &code) const;

    // The .part files being written; addPart returns the id for removePart.
    quint64 addPart(const QString &code, const Part &part);
    void removePart(const QString &code, quint64 id);

    // An upload being written, as the transfers window lists it.
    struct Upload
    {
        quint64 id = 0; // its .part's
        QString code;
        QString name;    // the name it is to be saved under
        QString address; // the sender's
        qint64 written = 0;
        qint64 total = -1;    // -1 while unknown
        bool waiting = false; // a resumable upload no request appends to now
    };
    // What the .part id is written for; its bytes are counted by wrote(), and it is gone with the
    // .part or the drop point.
    void describeUpload(const Upload &upload);
    void wrote(quint64 id, qint64 bytes);
    QList<Upload> uploads() const;

    // A resumable upload's resource, with its .part among those above. hash: the SHA-256 of the
    // bytes held, or null when it must be computed from the .part again (after a restart).
    struct Resumable
    {
        ResumableUpload upload;
        quint64 partId = 0;
        std::shared_ptr<Sha256> hash;
        // The request appending to it (the server's handle of its connection), null when none.
        const void *holder = nullptr;
    };
    // Adds the resource, and its .part unless partId names one addPart() added; the part's id, 0
    // when the drop point is gone.
    quint64 addResumable(const Resumable &resumable);
    std::optional<Resumable> resumable(const QString &code, const QString &token) const;
    // Marks it held by the request `holder`; nothing when it is gone or another request holds it
    // already.
    std::optional<Resumable> hold(const QString &code, const QString &token, const void *holder);
    // The request holding it ended: what the .part now holds.
    // False when it is gone meanwhile.
    bool release(const QString &token, qint64 offset, std::shared_ptr<Sha256> hash);
    // Forgets the resource (its .part is not touched); what it was, when it was there.
    std::optional<Resumable> removeResumable(const QString &token);

private:
    mutable QMutex m_mutex;
    QHash<QString, DropPointEntry> m_entries;
    QHash<QString, qint64> m_claimed;
    QHash<QString, QList<Part>> m_parts;
    QHash<quint64, Upload> m_uploads;
    QHash<QString, Resumable> m_resumables; // by token
    QHash<QString, bool> m_endings;
    QQueue<QString> m_endingOrder;
    quint64 m_nextPart = 1;
};
