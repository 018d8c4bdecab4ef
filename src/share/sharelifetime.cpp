#include "sharelifetime.h"

qint64 durationMs(ShareLifetime lifetime)
{
    constexpr qint64 hourMs = 60 * 60 * 1000;
    switch (lifetime) {
    case ShareLifetime::OneHour: return hourMs;
    case ShareLifetime::OneDay: return 24 * hourMs;
    case ShareLifetime::SevenDays: return 7 * 24 * hourMs;
    case ShareLifetime::UntilEnd: return 0;
    }
    return 0;
}

QString caption(ShareLifetime lifetime)
{
    switch (lifetime) {
    case ShareLifetime::OneHour: return QStringLiteral("1時間");
    case ShareLifetime::OneDay: return QStringLiteral("24時間");
    case ShareLifetime::SevenDays: return QStringLiteral("7日間");
    case ShareLifetime::UntilEnd: return QStringLiteral("終了まで");
    }
    return {};
}
