#pragma once

#include "tests/support/proc_table.h"
#include "tests/support/program_run.h"

#include <QtDBus>

#include <csignal>
#include <sys/prctl.h>

// How long a desktop's part may take to answer on a loaded machine.
inline constexpr int Patience = 60000;

// One desktop of a test's own: an Xvfb display, a private session bus and, on request, icewm
// (window manager and XEmbed tray), xfce4-panel (StatusNotifierItem host) and a headless
// weston. Its processes run in a temporary home and are ended by pid with this object, or die
// with the test process.
class DesktopSession
{
public:
    ~DesktopSession()
    {
        if (m_panel) {
            stopPanel();
        }
        QDBusConnection::disconnectFromBus(m_home.path());
        // Clients first, the display and the bus last; QProcess kills what outlives SIGTERM.
        for (auto process = m_processes.rbegin(); process != m_processes.rend(); ++process) {
            (*process)->terminate();
            (*process)->waitForFinished(5000);
        }
    }

    // The display and the bus; false when either did not come up.
    bool start()
    {
        m_environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"WAYLAND_DISPLAY", "SESSION_MANAGER", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
            m_environment.remove(QString::fromLatin1(name));
        }
        // Private (0700), as a runtime folder must be.
        m_environment.insert(QStringLiteral("HOME"), m_home.path());
        m_environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path());
        m_environment.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));
        m_environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        // Xvfb picks a free display itself and writes its number once it accepts clients.
        m_display = u':' + firstLine("Xvfb -displayfd 1 -screen 0 1280x800x24 -nolisten tcp -noreset");
        m_environment.insert(QStringLiteral("DISPLAY"), m_display);
        // Services the bus starts (the panel's settings daemon) live in this home too.
        const QString bus = firstLine("dbus-daemon --session --nofork --print-address=1");
        m_environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
        return m_display.size() > 1 && QDBusConnection::connectToBus(bus, m_home.path()).isConnected();
    }

    bool startIcewm()
    {
        launch("icewm");
        return waitUntil([this] { return run(QStringLiteral("xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 0x")); });
    }

    bool startWeston()
    {
        launch("weston --backend=headless-backend.so --socket=wl-test --width=1280 --height=800");
        return waitUntil([this] { return QFile::exists(m_home.filePath(QStringLiteral("wl-test"))); });
    }

    // Returns once the panel's status tray owns the watcher's name.
    bool startPanel()
    {
        m_panel = &launch("xfce4-panel --disable-wm-check");
        return waitUntil([this] { return owns("org.kde.StatusNotifierWatcher"); });
    }

    // Ends the panel as a crash would, also its status tray, which runs in a process of its
    // own; returns once the watcher's name has gone.
    bool stopPanel()
    {
        for (const qint64 plugin : ProcTable::childrenOf(m_panel->processId())) {
            ::kill(pid_t(plugin), SIGKILL);
        }
        std::exchange(m_panel, nullptr)->kill();
        // A panel that starts while the bus still names the old one hands over to it and exits.
        return waitUntil([this] { return !owns("org.kde.StatusNotifierWatcher") && !owns("org.xfce.Panel"); });
    }

    // For a client of this desktop: X11, or Wayland under weston.
    QProcessEnvironment environment(bool wayland = false) const
    {
        QProcessEnvironment environment = m_environment;
        if (wayland) {
            environment.remove(QStringLiteral("DISPLAY"));
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
            // A path, since the program has a runtime folder of its own.
            environment.insert(QStringLiteral("WAYLAND_DISPLAY"), m_home.filePath(QStringLiteral("wl-test")));
        }
        return environment;
    }

    // Runs a shell command of X clients to its end, bounded; true when it exited 0.
    bool run(const QString& command) const
    {
        const QStringList arguments = QStringLiteral("DISPLAY=%1 timeout 60 sh -c").arg(m_display).split(u' ');
        return QProcess::execute(QStringLiteral("env"), arguments + QStringList{command}) == 0;
    }

    QDBusConnection bus() const { return QDBusConnection(m_home.path()); }

    // Calls a method of "service/path" on this desktop's bus, as a host does.
    QDBusMessage call(const QString& object, const QString& interface, const QString& method, QVariantList args) const
    {
        QDBusInterface remote(object.section(u'/', 0, 0), u'/' + object.section(u'/', 1), interface, bus());
        return remote.callWithArgumentList(QDBus::Block, method, args);
    }

    QVariant property(const QString& object, const QString& interface, const QString& name) const
    {
        const QDBusMessage reply =
            call(object, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"), {interface, name});
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }

private:
    static bool waitUntil(const std::function<bool()>& condition) { return ProgramRun::waitUntil(condition, Patience); }

    bool owns(const char* name) const { return bus().interface()->isServiceRegistered(QString::fromLatin1(name)); }

    QProcess& launch(const char* command)
    {
        QProcess& process = *m_processes.emplace_back(std::make_unique<QProcess>());
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.setProcessEnvironment(m_environment);
        process.startCommand(QString::fromLatin1(command));
        return process;
    }

    // What Xvfb and dbus-daemon write once they serve.
    QString firstLine(const char* command)
    {
        QProcess& process = launch(command);
        process.waitForReadyRead(Patience);
        return QString::fromUtf8(process.readLine()).trimmed();
    }

    QTemporaryDir m_home;
    QProcessEnvironment m_environment;
    QString m_display;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QProcess* m_panel = nullptr;
};
