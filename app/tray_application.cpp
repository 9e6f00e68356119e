#include "app/tray_application.h"

#include "app/command_line.h"
#include "app/single_instance.h"
#include "manager/manager_config.h"
#include "platform/log.h"
#include "platform/unix_signals.h"

#include <QApplication>
#include <QTimer>

#include <cstdlib>

namespace {
constexpr std::chrono::milliseconds WindowDelay{500};
}

TrayApplication::TrayApplication(const ManagerConfig& config, QObject* parent)
    : QObject(parent)
    , m_manager(config, this)
    , m_windowManager(m_manager, this)
    , m_startAtLogin(AutostartEntry::forThisProgram(), Settings(config.settingsFile), this)
    , m_trayMenu(
          m_windowManager, m_startAtLogin, [this] { quit(); }, this)
    , m_statusNotifierWatch(this)
{
    showTrayItem();
}

TrayApplication::~TrayApplication() = default;

void TrayApplication::showTrayItem()
{
    // Qt 6.4 settles on its tray backend for good at the first tray icon: a StatusNotifierItem if
    // a host is on the bus then, XEmbed otherwise. XEmbed serves X11 trays that start later; a
    // Wayland client has only the bus, so there the icon waits for a host.
    // A host that restarts gets the item again from Qt itself.
    if (m_statusNotifierWatch.isHostPresent() || QGuiApplication::platformName() == u"xcb") {
        m_trayMenu.showTrayIcon();
    } else {
        connect(&m_statusNotifierWatch, &StatusNotifierWatch::hostAppeared, &m_trayMenu, [this] {
            if (!m_trayMenu.hasTrayIcon()) {
                Log::print(u"🪟 A system tray appeared: the Corvalt item is now in it");
                m_trayMenu.showTrayIcon();
            }
        });
    }
    if (!m_trayMenu.hasTrayIcon() || !QSystemTrayIcon::isSystemTrayAvailable()) {
        // Without a tray (GNOME without an extension, a bare window manager) the same actions
        // stay reachable from the window; launching the program again brings the window back.
        // They stay there once a tray appears, since a tray may go away again.
        Log::print(u"⚠️ No system tray available: the Corvalt menu is in the terminal window's menu bar");
        m_windowManager.setWindowMenuActions(m_trayMenu.actions());
    }
}

void TrayApplication::launch()
{
    Log::print(u"🚀 AppDelegate applicationDidFinishLaunching called");
    // Runs once the sweep below has given the event loop back, and not before the delay.
    QTimer::singleShot(WindowDelay, this, [this] {
        Log::print(u"🚀 Opening terminal window automatically");
        m_windowManager.openTerminalWindow(WindowManager::Focus::Leave);
    });
    m_manager.createInstallDirectory();
    Log::print(u"🚀 About to call downloadAndRunCLI");
    m_manager.downloadAndRunTool();
    Log::print(u"🚀 downloadAndRunCLI called");
}

void TrayApplication::quit()
{
    if (m_quitting) {
        return;
    }
    m_quitting = true;
    m_manager.cleanup();
    // The event loop ends, and aboutToQuit brings us to shutDown().
    QCoreApplication::quit();
}

void TrayApplication::shutDown()
{
    if (m_shutDown) {
        return;
    }
    m_shutDown = true;
    Log::print(u"🛑 AppDelegate applicationWillTerminate called");
    m_manager.cleanup();
    Log::print(u"🛑 App termination cleanup completed");
}

void TrayApplication::shutDownAtExit()
{
    // exit() leaves the event loop without returning from it: the application object is still
    // there, with this one as its child.
    QCoreApplication* const application = QCoreApplication::instance();
    auto* const app =
        application ? application->findChild<TrayApplication*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
    if (!app || app->m_shutDown) {
        return;
    }
    Log::print(u"🛑 Exiting without a quit, stopping the CLI");
    app->shutDown();
}

int TrayApplication::run(int argc, char** argv, const ManagerConfig& config)
{
    // --help, --version, a usage error and a missing display are answered before Qt is started,
    // which would abort without a display.
    if (const auto status = CommandLine(argc, argv).answer()) {
        return *status;
    }
    QApplication application(argc, argv);
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

    TrayApplication app(config, &application);
    connect(&instance, &SingleInstance::showWindowRequested, &app, [&app] {
        Log::print(u"🪟 Another launch asked for the terminal window");
        app.m_windowManager.openTerminalWindow();
    });

    // Logout, kill and Ctrl+C end the program as "Quit" does, so the tool does not outlive it.
    const UnixSignals unixSignals;
    if (!unixSignals.isActive()) {
        Log::print(QStringLiteral("⚠️ Termination signals will not stop the CLI: ") + unixSignals.errorString());
    }
    connect(&unixSignals, &UnixSignals::received, &app, [&app](const QString& name) {
        Log::print(QStringLiteral("🛑 Received %1, quitting").arg(name));
        app.quit();
    });
    // The tool's short-lived helpers that outlive their parents are handed to us: no zombies.
    connect(&unixSignals, &UnixSignals::childExited, &app, [&app] { app.m_manager.reapAdoptedOrphans(); });
    connect(&application, &QCoreApplication::aboutToQuit, &app, &TrayApplication::shutDown);
    std::atexit(&TrayApplication::shutDownAtExit);

    QTimer::singleShot(0, &app, &TrayApplication::launch);
    return QApplication::exec();
}
