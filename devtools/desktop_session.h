#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// One desktop of its own for a test, a benchmark or the demo: an Xvfb display, a private
// session bus and, on request, icewm (window manager and XEmbed tray), xfce4-panel
// (StatusNotifierItem host) and a headless weston. Its processes run in a temporary home, each
// in a process group of its own (so that a Ctrl+C reaches only the client), and are ended with
// this object, or die with the process that made it.
class DesktopSession
{
public:
    enum Part { Display, Bus, Icewm, Weston, Panel, FocusHolder };

    // How long a part may take to answer on a loaded machine.
    static constexpr int Patience = 60000;

    DesktopSession();
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    // Returns once the part serves: Xvfb (on a display it picks) and the bus have printed where,
    // icewm manages the screen and owns its tray, weston's socket is there, the panel's status
    // tray owns the watcher's name, the focus holder (a window where the user types) is active.
    bool start(Part part);
    // Ends the panel as a crash would, its status tray's process too; returns once the watcher's
    // name has gone.
    bool stopPanel();

    // For a client of this desktop: X11, or Wayland under weston.
    QProcessEnvironment environment(bool wayland = false) const;
    // Runs a shell command of X clients to its end, bounded; true when it exited 0.
    bool run(const QString& command, QByteArray* output = nullptr) const;

    // Whether the window that has the keyboard focus is titled `title`.
    bool activeWindowIs(const QString& title) const;

    QDBusConnection bus() const { return QDBusConnection(m_home.path()); }
    // Calls a method of "service/path" on this desktop's bus, as a host does.
    QDBusMessage call(const QString& object, const QString& interface, const QString& method, QVariantList args) const;
    QVariant property(const QString& object, const QString& interface, const QString& name) const;

private:
    bool owns(const char* name) const;
    bool icewmServes() const;

    QTemporaryDir m_home;
    QProcessEnvironment m_environment = QProcessEnvironment::systemEnvironment();
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QProcess* m_panel = nullptr;
};
