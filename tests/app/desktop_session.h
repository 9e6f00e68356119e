#pragma once

#include "tests/support/proc_table.h"
#include "tests/support/program_run.h"

#include <QtDBus>

#include <csignal>
#include <sys/prctl.h>

using namespace Qt::StringLiterals;

// How long a desktop's part may take to answer on a loaded machine.
inline constexpr int Patience = 60000;

inline bool waitFor(const std::function<bool()>& condition)
{
    return ProgramRun::waitUntil(condition, Patience);
}

// One desktop of a test's own: an Xvfb display, a private session bus and, on request, icewm
// (window manager and XEmbed tray), xfce4-panel (StatusNotifierItem host), a headless weston
// and a window that holds the keyboard focus, as where a user types. Its processes run in a
// temporary home and are ended by pid with this object, or die with the test process.
class DesktopSession
{
public:
    enum Part { Display, Bus, Icewm, Weston, Panel, FocusHolder };

    DesktopSession()
    {
        for (const char* name : {"WAYLAND_DISPLAY", "SESSION_MANAGER", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
            m_environment.remove(QString::fromLatin1(name));
        }
        // Private (0700), as a runtime folder must be. Services the bus starts (the panel's
        // settings daemon) live in this home too.
        m_environment.insert(u"HOME"_s, m_home.path());
        m_environment.insert(u"XDG_RUNTIME_DIR"_s, m_home.path());
        m_environment.insert(u"NO_AT_BRIDGE"_s, u"1"_s);
        m_environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    }

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

    // Returns once the part serves: Xvfb (on a display it picks) and the bus have printed where,
    // icewm manages the screen, weston's socket is there, the panel's status tray owns the
    // watcher's name, the focus holder is the active window.
    bool start(Part part)
    {
        static constexpr const char* Commands[] = {
            "Xvfb -displayfd 1 -screen 0 1280x800x24 -nolisten tcp -noreset",
            "dbus-daemon --session --nofork --print-address=1",
            "icewm",
            "weston --backend=headless-backend.so --socket=wl-test --width=1280 --height=800",
            "xfce4-panel --disable-wm-check",
            "xmessage -title focus-holder typing"};
        QProcess& process = *m_processes.emplace_back(std::make_unique<QProcess>());
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.setProcessEnvironment(m_environment);
        process.startCommand(QString::fromLatin1(Commands[part]));
        m_panel = part == Panel ? &process : m_panel;
        if (part == Display || part == Bus) {
            process.waitForReadyRead(Patience);
            const QString line = QString::fromUtf8(process.readLine()).trimmed();
            m_environment.insert(part == Bus ? u"DBUS_SESSION_BUS_ADDRESS"_s : u"DISPLAY"_s,
                                 part == Bus ? line : u':' + line);
            return !line.isEmpty() &&
                (part == Display || QDBusConnection::connectToBus(line, m_home.path()).isConnected());
        }
        return waitFor([&] {
            return part == Icewm      ? run(u"xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 0x"_s)
                : part == Weston      ? QFile::exists(m_home.filePath(u"wl-test"_s))
                : part == FocusHolder ? activeWindowIs(u"focus-holder"_s)
                                      : owns("org.kde.StatusNotifierWatcher");
        });
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
        return waitFor([this] { return !owns("org.kde.StatusNotifierWatcher") && !owns("org.xfce.Panel"); });
    }

    // For a client of this desktop: X11, or Wayland under weston.
    QProcessEnvironment environment(bool wayland = false) const
    {
        QProcessEnvironment environment = m_environment;
        if (wayland) {
            environment.remove(u"DISPLAY"_s);
            environment.insert(u"QT_QPA_PLATFORM"_s, u"wayland"_s);
            // A path, since the program has a runtime folder of its own.
            environment.insert(u"WAYLAND_DISPLAY"_s, m_home.filePath(u"wl-test"_s));
        }
        return environment;
    }

    // Runs a shell command of X clients to its end, bounded; true when it exited 0.
    bool run(const QString& command) const
    {
        const QString display = u"DISPLAY="_s + m_environment.value(u"DISPLAY"_s);
        return QProcess::execute(u"env"_s, {display, u"timeout"_s, u"60"_s, u"sh"_s, u"-c"_s, command}) == 0;
    }

    bool activeWindowIs(const QString& title) const
    {
        return run(u"xdotool getactivewindow getwindowname | grep -qxF '%1'"_s.arg(title));
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
        const QDBusMessage reply = call(object, u"org.freedesktop.DBus.Properties"_s, u"Get"_s, {interface, name});
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }

private:
    bool owns(const char* name) const { return bus().interface()->isServiceRegistered(QString::fromLatin1(name)); }

    QTemporaryDir m_home;
    QProcessEnvironment m_environment = QProcessEnvironment::systemEnvironment();
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QProcess* m_panel = nullptr;
};
