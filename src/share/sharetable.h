#pragma once

#include "shareentry.h"

#include <QHash>
#include <QMutex>

// The shares the server may answer for, filled by the registry on the window's thread and read by
// the server's threads: the server finds files only here, by code.
class ShareTable
{
public:
    void put(const ShareEntry &entry);
    void remove(const QString &code);
    void clear();
    // The entry for a code in its stored form.
    std::optional<ShareEntry> find(const QString &code) const;
    int size() const;

private:
    mutable QMutex m_mutex;
    QHash<QString, ShareEntry> m_entries;
};
