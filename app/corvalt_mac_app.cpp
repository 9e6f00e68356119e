#include "app/corvalt_mac_app.h"

#include "app/command_line.h"
#include "app/single_instance.h"
#include "app/tray_menu.h"
#include "loginitem/login_item_manager.h"
#include "manager/corvalt_manager.h"
#include "platform/log.h"
#include "platform/status_notifier_watch.h"
#include "platform/termination_signals.h"
#include "terminal/window_manager.h"

#include <QApplication>
#include <QTimer>

#include <cstdlib>

Corvalt_MacApp::Corvalt_MacApp(QObject* parent) : QObject(parent) { }

Corvalt_MacApp::~Corvalt_MacApp() = default;

LoginItemManager& Corvalt_MacApp::loginItemManager()
{
    if (!m_loginItemManager) {
        m_loginItemManager = &LoginItemManager::shared();
    }
    return *m_loginItemManager;
}

void Corvalt_MacApp::body()
{
    m_trayMenu = std::make_unique<TrayMenu>(
        loginItemManager(), [this] { quit(); }, this);
    // Qt 6.4 settles on its tray backend for good at the first tray icon: a StatusNotifierItem if
    // a host is on the bus then, XEmbed otherwise. XEmbed serves X11 trays that start later; a
    // Wayland client has only the bus, so there the icon waits for a host.
    // A host that restarts gets the item again from Qt itself.
    m_statusNotifierWatch = std::make_unique<StatusNotifierWatch>();
    if (m_statusNotifierWatch->isHostPresent() || QGuiApplication::platformName() == u"xcb") {
        m_trayMenu->showTrayIcon();
    } else {
        connect(m_statusNotifierWatch.get(), &StatusNotifierWatch::hostAppeared, m_trayMenu.get(), [this] {
            if (!m_trayMenu->hasTrayIcon()) {
                Log::print(u"🪟 A system tray appeared: the Corvalt item is now in it");
                m_trayMenu->showTrayIcon();
            }
        });
    }
    if (!m_trayMenu->hasTrayIcon() || !QSystemTrayIcon::isSystemTrayAvailable()) {
        // Without a tray (GNOME without an extension, a bare window manager) the same actions
        // stay reachable from the window; launching the program again brings the window back.
        // They stay there once a tray appears, since a tray may go away again.
        Log::print(u"⚠️ No system tray available: the Corvalt menu is in the terminal window's menu bar");
        WindowManager::shared().setWindowMenuActions(m_trayMenu->actions());
    }
}

void Corvalt_MacApp::quit()
{
    if (m_quitting) {
        return;
    }
    m_quitting = true;
    CorvaltManager::shared().cleanup();
    QCoreApplication::quit();
}

void Corvalt_MacApp::terminate()
{
    if (m_terminated) {
        return;
    }
    m_terminated = true;
    m_appDelegate.applicationWillTerminate();
}

void Corvalt_MacApp::terminateOnExit()
{
    // Qt calls exit() from inside the event loop when the display connection breaks, as at a
    // logout: the tool must not outlive us then either.
    QCoreApplication* const application = QCoreApplication::instance();
    auto* const app =
        application ? application->findChild<Corvalt_MacApp*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
    if (!app || app->m_terminated) {
        return;
    }
    Log::print(u"🛑 Exiting without a quit, stopping the CLI");
    app->terminate();
}

int Corvalt_MacApp::main(int argc, char** argv)
{
    // --help and --version answer without a display. An argument we do not know may be one of
    // Qt's own (-platform, -display), which QApplication takes out of argc and argv first.
    if (const CommandLine arguments(argc, argv); arguments.isValid()) {
        if (const auto status = arguments.answer()) {
            return *status;
        }
    }
    QApplication application(argc, argv);
    if (const auto status = CommandLine(argc, argv).answer()) {
        return *status;
    }
    QApplication::setOrganizationName(QStringLiteral("Corvalt"));
    QApplication::setApplicationName(QStringLiteral("corvalt-tray"));
    QApplication::setDesktopFileName(QStringLiteral("corvalt-tray"));
    // The program lives on in its tray item when the terminal window closes.
    QApplication::setQuitOnLastWindowClosed(false);

    // A second instance would sweep away the first one's tool and start its own: it only asks
    // the first to show its window.
    SingleInstance instance(SingleInstance::nameForThisUser());
    if (!instance.claim()) {
        if (!instance.askRunningInstanceToShowWindow()) {
            Log::print(QStringLiteral("❌ Corvalt is already running but did not answer: ") + instance.errorString());
            return 1;
        }
        Log::print(u"🪟 Corvalt is already running: asked it to bring its terminal window to the front");
        return 0;
    }
    if (!instance.errorString().isEmpty()) {
        Log::print(QStringLiteral("⚠️ Cannot make sure that Corvalt runs only once: ") + instance.errorString());
    }

    Corvalt_MacApp app(&application);
    QObject::connect(&instance, &SingleInstance::showWindowRequested, &app, [] {
        Log::print(u"🪟 Another launch asked for the terminal window");
        WindowManager::shared().openTerminalWindow();
    });

    // Logout, kill and Ctrl+C end the program as "Quit" does, so the tool does not outlive it.
    const TerminationSignals terminationSignals;
    if (!terminationSignals.isActive()) {
        Log::print(QStringLiteral("⚠️ Termination signals will not stop the CLI: ") +
                   terminationSignals.errorString());
    }
    QObject::connect(&terminationSignals, &TerminationSignals::received, &app, [&app](const QString& name) {
        Log::print(QStringLiteral("🛑 Received %1, quitting").arg(name));
        app.quit();
    });
    // The tool's short-lived helpers that outlive their parents are handed to us: no zombies.
    QObject::connect(&terminationSignals, &TerminationSignals::childExited, &app, [] {
        CorvaltManager::shared().reapAdoptedOrphans();
    });

    app.body();
    QTimer::singleShot(0, &app.appDelegate(), &AppDelegate::applicationDidFinishLaunching);
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &app, &Corvalt_MacApp::terminate);
    std::atexit(&Corvalt_MacApp::terminateOnExit);
    return QApplication::exec();
}
