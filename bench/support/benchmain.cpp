#include "benchmain.h"

#include "netnsguard.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

namespace Bench {

void preferOffscreen()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

bool parseCommandLine(QCommandLineParser &parser, const QList<QCommandLineOption> &options, Lan lan)
{
    parser.addHelpOption();
    parser.addOptions(options);
    parser.process(*QCoreApplication::instance());
    if (lan == Lan::InMemory)
        return true;
    const QString why = notInBenchNamespace();
    if (why.isEmpty())
        return true;
    std::fprintf(stderr, "refusing to run: %s\n", qUtf8Printable(why));
    return false;
}

} // namespace Bench
