#pragma once

#include <QCoreApplication>
#include <QString>
#include <cstdio>
#include <cstdlib>

// A broken invariant ends the run like a crash, so libFuzzer keeps the input.
#define FUZZ_CHECK(condition, ...)                                                                           \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);           \
            fuzzDetail(__VA_ARGS__);                                                                         \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (false)

inline void fuzzDetail() {}

template <typename... Args> inline void fuzzDetail(const char *format, Args... args)
{
    std::fprintf(stderr, format, args...);
    std::fputc('\n', stderr);
}

// Code points as U+XXXX, so that a report shows exactly what differed.
inline QByteArray fuzzShow(const QString &text)
{
    QByteArray shown;
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7F && c != QLatin1Char('\\'))
            shown.append(char(c.unicode()));
        else
            shown.append(QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0')).toLatin1());
    }
    return shown;
}

// Queued deliveries, signals and QObject need an application object; one for the whole run.
inline void fuzzEnsureApplication()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = new QCoreApplication(argc, argv);
    (void)app;
}
