#pragma once

#include "app/app_delegate.h"

#include <QObject>

#include <memory>

class LoginItemManager;
class StatusNotifierWatch;
class TrayMenu;

// The application itself: its entry point, the tray item with its menu, and the delegate that
// runs the launch and termination sequences.
class Corvalt_MacApp : public QObject
{
    Q_OBJECT

public:
    // The process entry: runs the application until it quits and returns its exit code.
    static int main(int argc, char** argv);

    explicit Corvalt_MacApp(QObject* parent = nullptr);
    ~Corvalt_MacApp() override;

    AppDelegate& appDelegate() { return m_appDelegate; }
    // The shared login item manager, obtained the first time it is needed.
    LoginItemManager& loginItemManager();

    // Builds the tray item and its menu.
    void body();
    // The menu's "Quit": stops the tool, then asks the application to terminate.
    void quit();

private:
    // Runs the termination sequence once, from the quit or from an exit() inside the event loop.
    void terminate();
    static void terminateOnExit();

    AppDelegate m_appDelegate;
    LoginItemManager* m_loginItemManager = nullptr;
    std::unique_ptr<StatusNotifierWatch> m_statusNotifierWatch;
    std::unique_ptr<TrayMenu> m_trayMenu;
    bool m_quitting = false;
    bool m_terminated = false;
};
