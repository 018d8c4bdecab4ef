#pragma once

// Small pieces shared by the benchmark programs.

#include "app/services.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <cstdio>

namespace Bench {

// A message box would wait for a click that never comes: print it and remember it instead.
class PrintingMessageBox : public MessageBox
{
public:
    void critical(QWidget *, const QString &title, const QString &text) override
    {
        std::fprintf(stderr, "message box \"%s\": %s\n", qUtf8Printable(title), qUtf8Printable(text));
        ++shown;
    }
    int shown = 0;
};

class NoShell : public Shell
{
public:
    void openUrl(const QString &) override {}
};

// Resident set size of this process in KiB, or -1.
inline long long rssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace Bench
