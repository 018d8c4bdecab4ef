#pragma once

#include <QString>
#include <QtGlobal>
#include <array>

// How long a share stays served, counted from the moment of sharing.
enum class ShareLifetime { OneHour, OneDay, SevenDays, UntilEnd };

// In the order the menu shows them.
inline constexpr std::array<ShareLifetime, 4> shareLifetimes = {
    ShareLifetime::OneHour, ShareLifetime::OneDay, ShareLifetime::SevenDays, ShareLifetime::UntilEnd};
inline constexpr ShareLifetime defaultShareLifetime = ShareLifetime::OneDay;

// 0 for UntilEnd: such a share ends with the program, not at a time.
qint64 durationMs(ShareLifetime lifetime);
// The menu's caption: "1時間", "24時間", "7日間", "終了まで".
QString caption(ShareLifetime lifetime);
