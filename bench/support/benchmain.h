#pragma once

#include <QCommandLineOption>
#include <QList>

class QCommandLineParser;

// The opening every benchmark's main() shares:
//
//   Bench::preferOffscreen();
//   QApplication application(argc, argv);
//   QCommandLineParser parser;
//   if (!Bench::parseCommandLine(parser, {options...}, Bench::Lan::Namespaces))
//       return 2;
namespace Bench {

// Windows go to the offscreen platform unless QT_QPA_PLATFORM names another. Call it before the
// application object is made.
void preferOffscreen();

// Where a benchmark sends: the in-memory LAN of the tests, or a LAN of network namespaces.
enum class Lan { InMemory, Namespaces };

// Adds --help and the options and parses the application's command line (a mistake ends the
// program, as QCommandLineParser::process does). A program on a LAN of namespaces refuses to go on
// outside one (see netnsguard.h): false, with the reason on stderr.
bool parseCommandLine(QCommandLineParser &parser, const QList<QCommandLineOption> &options, Lan lan);

} // namespace Bench
