// desktop-session [--icewm] [--panel] [--weston] -- COMMAND [ARGUMENT...]
// Runs COMMAND on a desktop of its own (a virtual X display and a private session bus, and the
// parts asked for), ends the desktop and exits with COMMAND's status.
#include "desktop_session.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>

using namespace Qt::StringLiterals;

int main(int argc, char** argv)
{
    const QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Runs COMMAND on a virtual X display with a private session bus."_s);
    parser.addHelpOption();
    const QList<std::pair<QCommandLineOption, DesktopSession::Part>> options{
        {{u"icewm"_s, u"Window manager and XEmbed tray (icewm)."_s}, DesktopSession::Icewm},
        {{u"panel"_s, u"StatusNotifierItem host (xfce4-panel)."_s}, DesktopSession::Panel},
        {{u"weston"_s, u"Headless Wayland compositor (weston)."_s}, DesktopSession::Weston}};
    for (const auto& option : options) {
        parser.addOption(option.first);
    }
    parser.addPositionalArgument(u"command"_s, u"The command and its arguments, after --."_s);
    parser.process(application);
    QStringList command = parser.positionalArguments();
    if (command.isEmpty()) {
        parser.showHelp(2);
    }

    QList<DesktopSession::Part> parts{DesktopSession::Display, DesktopSession::Bus};
    for (const auto& [option, part] : options) {
        if (parser.isSet(option)) {
            parts.append(part);
        }
    }
    DesktopSession desktop;
    for (const DesktopSession::Part part : parts) {
        static constexpr const char* Names[] = {"Xvfb", "dbus-daemon", "icewm", "weston", "xfce4-panel"};
        if (!desktop.start(part)) {
            std::fprintf(stderr, "desktop-session: %s did not start\n", Names[part]);
            return 1;
        }
    }
    // The command keeps its caller's home and the rest of its environment.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : {u"DISPLAY"_s, u"DBUS_SESSION_BUS_ADDRESS"_s, u"QT_QPA_PLATFORM"_s}) {
        environment.insert(name, desktop.environment().value(name));
    }
    environment.remove(u"WAYLAND_DISPLAY"_s);
    if (parts.contains(DesktopSession::Weston)) {
        environment.insert(u"WAYLAND_DISPLAY"_s, desktop.environment(true).value(u"WAYLAND_DISPLAY"_s));
    }

    // A Ctrl+C or a hang-up reaches the command, which may clean up while its desktop is still
    // there; a SIGTERM to this process ends the command too.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    QProcess client;
    client.setProcessChannelMode(QProcess::ForwardedChannels);
    client.setInputChannelMode(QProcess::ForwardedInputChannel);
    client.setProcessEnvironment(environment);
    client.setChildProcessModifier([] {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGHUP, SIG_DFL);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
    client.start(command.takeFirst(), command);
    if (!client.waitForStarted(-1)) {
        std::fprintf(stderr, "desktop-session: %s\n", qPrintable(client.errorString()));
        return 127;
    }
    client.waitForFinished(-1);
    // As a shell reports a command that a signal ended.
    return client.exitStatus() == QProcess::NormalExit ? client.exitCode() : 128 + client.exitCode();
}
