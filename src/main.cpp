#include "app/clock.h"
#include "app/module1.h"
#include "app/services.h"
#include "net/udpnetwork.h"
#include "ui/form1.h"

#include <QApplication>
#include <QFont>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM, SIGINT and SIGHUP close the window like its close box, so the leaving sequence runs.
void closeOnTerminationSignals(QWidget *window)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
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

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zumzum-chat"));
    QApplication::setDesktopFileName(QStringLiteral("zumzum-chat"));
    // The window stays up until the leaving sequence has ended.
    QApplication::setQuitOnLastWindowClosed(false);
    QFont::insertSubstitutions(QStringLiteral("ＭＳ Ｐゴシック"),
                               {QStringLiteral("IPAPGothic"), QStringLiteral("IPAexGothic"),
                                QStringLiteral("Noto Sans CJK JP")});

    UdpNetwork network;
    WidgetMessageBox messages;
    SystemClock clock;
    DesktopShell shell;
    Services services{network, messages, clock, shell};

    Module1 module1(services, QApplication::applicationDirPath());
    if (!module1.Main())
        return 1;

    Form1 *form1 = module1.form1();
    QObject::connect(form1, &Form1::finished, &application, &QApplication::quit);
    // The desktop session ending closes the window the same way.
    QObject::connect(&application, &QGuiApplication::commitDataRequest, form1, [form1] { form1->close(); });
    closeOnTerminationSignals(form1);
    return application.exec();
}
