#pragma once

#include "app/tray_menu.h"
#include "manager/corvalt_manager.h"
#include "platform/status_notifier_watch.h"
#include "start_at_login/start_at_login.h"
#include "terminal/window_manager.h"

#include <QObject>

struct ManagerConfig;

// The program: the tray item with its menu, and the three objects that live as long as it does,
// built here in this order: the manager of the tool, the owner of the terminal window, and the
// start-at-login switch. Every way of ending (Quit, a termination signal, a lost display, the
// end of the event loop) meets in shutDown().
class TrayApplication : public QObject
{
    Q_OBJECT

public:
    // The process entry: answers the command line, keeps to one program per user, then builds
    // the application from `config` and runs it. Returns the exit status.
    static int run(int argc, char** argv, const ManagerConfig& config);

    explicit TrayApplication(const ManagerConfig& config, QObject* parent = nullptr);
    ~TrayApplication() override;

    // Once the event loop runs: sets the tool up and starts it, and opens the window 0.5 s later.
    void launch();
    // The menu's "Quit" and the termination signals: stops the tool, then ends the event loop.
    void quit();
    // Stops the tool once more on the way out; runs once, however the program ends.
    void shutDown();

private:
    void showTrayItem();
    // The tool must not outlive us when Qt calls exit() itself, as when the display goes away.
    static void shutDownAtExit();

    // Members in the order they are built, each also a child of this object so that Qt's object
    // tree shows what the application holds.
    CorvaltManager m_manager;
    WindowManager m_windowManager;
    StartAtLogin m_startAtLogin;
    TrayMenu m_trayMenu;
    StatusNotifierWatch m_statusNotifierWatch;
    bool m_quitting = false;
    bool m_shutDown = false;
};
