#include "app/module1.h"
#include "app/services.h"
#include "base/clock.h"
#include "base/systemscheduler.h"
#include "desktop/applicationfonts.h"
#include "desktop/dbusbadgeandnotifications.h"
#include "desktop/desktopurlopener.h"
#include "desktop/platformchoice.h"
#include "desktop/qttranslations.h"
#include "desktop/screenreaderfollower.h"
#include "desktop/sessionbusdetour.h"
#include "desktop/systemnetworkwatcher.h"
#include "desktop/terminationsignals.h"
#include "desktop/widgetmessagebox.h"
#include "net/udpnetwork.h"
#include "ui/accessibility.h"
#include "ui/form1.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>
#include <cstdlib>

int main(int argc, char *argv[])
{
    preferX11OnWayland();
    const SessionBusDetour sessionBus = SessionBusDetour::takeIfSilent();
    QApplication application(argc, argv);
    sessionBus.settle();
    // After QApplication, which installs the widgets' own accessibility factory.
    Accessibility::installRoles();
    // Before the first widget, which would make Qt's accessibility bridge out of sight.
    ScreenReaderFollower screenReader(sessionBus.ownAddress());
    screenReader.findBridge();
    QApplication::setApplicationName(QStringLiteral("zumzum-chat"));
    // The user's settings folder is ~/.config/zumzum-chat, with no organization level.
    QApplication::setOrganizationName(QString());
    installQtTranslations(application, QLocale());
    QApplication::setDesktopFileName(QStringLiteral("org.example.ZumzumChat"));
    // The window stays up until the leaving sequence has ended.
    QApplication::setQuitOnLastWindowClosed(false);
    setUpApplicationFonts();

    UdpNetwork network;
    WidgetMessageBox messages;
    SystemClock clock;
    DesktopUrlOpener urlOpener;
    SystemScheduler scheduler;
    DBusBadgeAndNotifications badge(sessionBus.ownAddress());
    Services services{network, messages, clock, urlOpener, scheduler, badge, true};

    SystemNetworkWatcher networkWatcher(scheduler);
    Module1 module1(services, QApplication::applicationDirPath(), &networkWatcher);
    if (!module1.Main())
        return 1;
    // The bus is joined once the join notice is out: a session bus that is slow or missing must
    // not hold back start-up.
    QTimer::singleShot(0, &badge, &DBusBadgeAndNotifications::connectToSessionBus);
    QTimer::singleShot(0, &screenReader, &ScreenReaderFollower::start);

    Form1 *form1 = module1.form1();
    QObject::connect(&module1, &Module1::finished, &application, &QApplication::quit);
    // The desktop session ending closes the window the same way.
    QObject::connect(&application, &QGuiApplication::commitDataRequest, form1, [form1] { form1->close(); });
    closeOnTerminationSignals(form1);
    const int status = application.exec();
    // A bus that never greeted holds Qt's D-Bus thread, and Qt's clean-up would wait for it: the
    // program has said goodbye, saved its settings and stored its history, so it ends without that.
    if (badge.connecting() || networkWatcher.connecting() || screenReader.connecting())
        std::_Exit(status);
    return status;
}
