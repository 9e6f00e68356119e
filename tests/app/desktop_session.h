#pragma once

#include <QDBusConnection>
#include <QPoint>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <memory>

// One desktop of a test's own: an Xvfb display, a private session bus and, on request, icewm
// (window manager and XEmbed tray), xfce4-panel (StatusNotifierItem host) and a headless
// weston. Its processes run in a temporary home and are ended by pid with this object, or die
// with the test process.
class DesktopSession
{
public:
    DesktopSession();
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    // The display and the bus; false when either did not come up.
    bool start();
    bool startIcewm();
    bool startWeston();
    // Returns once the panel's StatusNotifierWatcher owns its name.
    bool startPanel();
    // Ends the panel and its plugin processes, and waits for the watcher's name to go.
    bool stopPanel();

    // For a client of this desktop: X11, or Wayland when weston runs.
    QProcessEnvironment environment(bool wayland = false) const;
    QDBusConnection bus() const { return QDBusConnection(m_busName); }
    bool hasWatcher() const;

    // Runs a shell command of X clients to its end (bounded); true when it exited 0.
    bool run(const char* command) const;
    bool click(QPoint point, int button) const;

private:
    QProcess& launch(const QString& program, const QStringList& arguments);

    QTemporaryDir m_home;
    QProcessEnvironment m_environment;
    QString m_busName;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QProcess* m_panel = nullptr;
};
