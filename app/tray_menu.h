#pragma once

#include <QAction>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

class StartAtLogin;
class WindowManager;

// The tray item and its menu: "Open Corvalt Status", "Start at Login" (with a check mark while
// it is on) and "Quit". A left click opens the same menu as a right click, since some desktops
// give tray items no other way in; where a program cannot place a menu at the pointer (Wayland)
// it opens the terminal window instead, and the host shows the menu on a right click.
class TrayMenu : public QObject
{
    Q_OBJECT

public:
    TrayMenu(WindowManager& windowManager,
             StartAtLogin& startAtLogin,
             std::function<void()> quit,
             QObject* parent = nullptr);

    // The three actions, top to bottom, for menus elsewhere.
    QList<QAction*> actions() const { return {m_openAction, m_startAtLoginAction, m_quitAction}; }
    // The item goes into the tray once this is called; the menu exists before.
    void showTrayIcon();
    bool hasTrayIcon() const { return m_trayIcon != nullptr; }

    static QString startAtLoginLabel(bool isEnabled);
    // The "custom-chevron-right" resource.
    static QIcon chevronIcon();

private:
    void updateStartAtLoginLabel();
    void onActivated(QSystemTrayIcon::ActivationReason reason);

    WindowManager& m_windowManager;
    StartAtLogin& m_startAtLogin;
    QMenu m_menu;
    QAction* m_openAction = nullptr;
    QAction* m_startAtLoginAction = nullptr;
    QAction* m_quitAction = nullptr;
    std::unique_ptr<QSystemTrayIcon> m_trayIcon;
};
