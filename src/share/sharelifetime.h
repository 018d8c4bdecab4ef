#pragma once

#include <QtGlobal>

// How long a shared file stays available, counted from the moment it was shared.
enum class ShareLifetime { OneHour, OneDay, SevenDays, UntilEnd };

// The lifetime in milliseconds; 0 for UntilEnd, which lasts as long as the program runs.
inline qint64 shareLifetimeMs(ShareLifetime lifetime)
{
    switch (lifetime) {
    case ShareLifetime::OneHour: return qint64(60) * 60 * 1000;
    case ShareLifetime::OneDay: return qint64(24) * 60 * 60 * 1000;
    case ShareLifetime::SevenDays: return qint64(7) * 24 * 60 * 60 * 1000;
    case ShareLifetime::UntilEnd: break;
    }
    return 0;
}
