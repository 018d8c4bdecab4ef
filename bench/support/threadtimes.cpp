#include "threadtimes.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <unistd.h>

namespace Bench {

std::vector<ThreadTime> threadTimes()
{
    std::vector<ThreadTime> times;
    const double ticks = double(::sysconf(_SC_CLK_TCK));
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks.filePath(tid + QStringLiteral("/stat")));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = file.readAll();
        // The name may hold spaces and brackets: it ends at the last ')'.
        const qsizetype open = stat.indexOf('(');
        const qsizetype close = stat.lastIndexOf(')');
        if (open < 0 || close < open)
            continue;
        // From the state on: state is field 3, utime 14, stime 15, nice 19.
        const QList<QByteArray> fields = stat.mid(close + 2).simplified().split(' ');
        if (fields.size() < 17)
            continue;
        ThreadTime time;
        time.tid = tid.toInt();
        time.name = QString::fromUtf8(stat.mid(open + 1, close - open - 1));
        time.cpuSeconds = double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / ticks;
        time.nice = fields.at(16).toInt();
        times.push_back(time);
    }
    return times;
}

} // namespace Bench
