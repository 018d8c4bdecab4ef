#include "desktopsession.h"

#include "platformchoice.h"

#include <QApplication>
#include <QFileInfo>
#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QSocketNotifier>
#include <QTranslator>
#include <QWidget>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Written by the signal handler, read by the window's thread: the only safe way out of a handler.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

} // namespace

void preferX11OnWayland()
{
    const bool xcbInstalled = QFileInfo::exists(QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                                                QStringLiteral("/platforms/libqxcb.so"));
    const QByteArray platform = PlatformChoice::platformToAskFor(
        qgetenv("WAYLAND_DISPLAY"), qgetenv("XDG_SESSION_TYPE"), qgetenv("QT_QPA_PLATFORM"), xcbInstalled);
    if (!platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform);
}

bool installQtTranslations(QCoreApplication &application, const QLocale &locale)
{
    auto *translator = new QTranslator(&application);
    if (translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
        QCoreApplication::installTranslator(translator))
        return true;
    delete translator;
    return false;
}

void setUpApplicationFonts()
{
    QFont::insertSubstitutions(
        QStringLiteral("ＭＳ Ｐゴシック"),
        {QStringLiteral("IPAPGothic"), QStringLiteral("IPAexGothic"), QStringLiteral("Noto Sans CJK JP")});
    // The Latin default with per-character fallback is wider than the Windows font the captions
    // were laid out for, and mixes two fonts in one line.
    QFont font = QApplication::font();
    font.setFamilies({QStringLiteral("IPAPGothic"), QStringLiteral("IPAexGothic"),
                      QStringLiteral("Noto Sans CJK JP"), font.family()});
    font.setPointSize(9);
    QApplication::setFont(font);
}

void closeOnTerminationSignals(QWidget *window)
{
    if (signalPipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char byte;
        [[maybe_unused]] const auto read = ::read(signalPipe[0], &byte, 1);
        window->close();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
}
