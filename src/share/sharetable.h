#pragma once

#include "shareentry.h"

#include <QHash>
#include <QMutex>
#include <QQueue>

// The shares the server may answer for, filled by the registry on the window's thread and read by
// the server's threads: the server finds files only here, by code.
class ShareTable
{
public:
    // Why a share that was served is no longer: a link that still goes round is told so (410).
    enum class Ending { Ended, Changed };
    // How many ended codes are remembered; the oldest are forgotten (then 404, like any code).
    static constexpr int rememberedEndings = 4096;

    void put(const ShareEntry &entry);
    void remove(const QString &code);
    // Removes the entry and remembers why, until the program ends.
    void end(const QString &code, Ending why);
    std::optional<Ending> ending(const QString &code) const;
    // Whether any ended code is remembered.
    bool hasEndings() const;
    void clear();
    // The entry for a code in its stored form.
    std::optional<ShareEntry> find(const QString &code) const;
    int size() const;

private:
    mutable QMutex m_mutex;
    QHash<QString, ShareEntry> m_entries;
    QHash<QString, Ending> m_endings;
    QQueue<QString> m_endingOrder;
};
