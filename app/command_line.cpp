#include "app/command_line.h"

#include <QStringList>

#include <cstdio>

namespace {
constexpr int UsageErrorStatus = 2;
constexpr int NoDisplayStatus = 1;

// Options QGuiApplication and QApplication take themselves, with a value and without.
constexpr const char* QtOptionsWithValue[] = {"platformpluginpath",
                                              "platformtheme",
                                              "plugin",
                                              "qwindowgeometry",
                                              "geometry",
                                              "qwindowicon",
                                              "icon",
                                              "qwindowtitle",
                                              "title",
                                              "name",
                                              "session",
                                              "style",
                                              "stylesheet",
                                              "qmljsdebugger",
                                              "visual",
                                              "ncols"};
constexpr const char* QtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync", "cmap", "testability"};

void write(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

QCommandLineOption qtOption(const char* name, bool takesValue)
{
    QCommandLineOption option(QString::fromLatin1(name), QString(), takesValue ? QStringLiteral("value") : QString());
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    return option;
}

} // namespace

CommandLine::CommandLine(int argc, const char* const* argv)
    : m_help({QStringLiteral("h"), QStringLiteral("help")}, QString())
    , m_version({QStringLiteral("v"), QStringLiteral("version")}, QString())
    , m_platform(qtOption("platform", true))
    , m_display(qtOption("display", true))
{
    QStringList arguments;
    for (int index = 0; index < argc; ++index) {
        arguments.append(QString::fromLocal8Bit(argv[index]));
    }
    // Qt's options are words after a single dash: -platform, -display.
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    m_parser.addOptions({m_help, m_version, m_platform, m_display});
    for (const char* const name : QtOptionsWithValue) {
        m_parser.addOption(qtOption(name, true));
    }
    for (const char* const name : QtFlags) {
        m_parser.addOption(qtOption(name, false));
    }
    m_valid = m_parser.parse(arguments) && m_parser.positionalArguments().isEmpty();
}

std::optional<int> CommandLine::answer() const
{
    if (!m_valid) {
        const QString error = m_parser.errorText().isEmpty()
            ? QStringLiteral("Unexpected argument '%1'.").arg(m_parser.positionalArguments().constFirst())
            : m_parser.errorText();
        write(stderr, QStringLiteral("corvalt-tray: %1\nTry 'corvalt-tray --help' for more information.\n").arg(error));
        return UsageErrorStatus;
    }
    if (m_parser.isSet(m_help)) {
        write(stdout,
              QStringLiteral(
                  "Usage: corvalt-tray [--help | --version]\n"
                  "\n"
                  "Corvalt lives in the system tray and keeps the Corvalt command-line tool installed, current\n"
                  "and running: at each launch it ends stale copies of the tool, downloads its newest build,\n"
                  "installs it as ~/.corvalt/bin/corvalt, starts it in your login shell and shows its output\n"
                  "in a terminal window. Its menu opens that window, switches starting at login and quits.\n"
                  "\n"
                  "Options:\n"
                  "  -h, --help     Show this help and exit.\n"
                  "  -v, --version  Show the version and exit.\n"
                  "\n"
                  "The program takes no other options or arguments: where it downloads the tool from is set\n"
                  "when it is built. Qt's own options, such as -platform, still apply.\n"));
        return 0;
    }
    if (m_parser.isSet(m_version)) {
        write(stdout, QStringLiteral("corvalt-tray " CORVALT_VERSION "\n"));
        return 0;
    }
    if (!hasDisplay()) {
        write(stderr,
              QStringLiteral("corvalt-tray: no display to show the tray item on: neither DISPLAY nor WAYLAND_DISPLAY "
                             "is set; start it in a desktop session\n"));
        return NoDisplayStatus;
    }
    return std::nullopt;
}

bool CommandLine::hasDisplay() const
{
    // A platform named on the command line or in QT_QPA_PLATFORM is Qt's to check: it may need
    // no display at all (offscreen, vnc).
    if (m_parser.isSet(m_platform) || m_parser.isSet(m_display) || qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        return true;
    }
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}
