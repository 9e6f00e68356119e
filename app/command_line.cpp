#include "app/command_line.h"

#include <QStringList>

#include <cstdio>

namespace {
constexpr int UsageErrorStatus = 2;

void write(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}
} // namespace

CommandLine::CommandLine(int argc, const char* const* argv)
    : m_help({QStringLiteral("h"), QStringLiteral("help")}, QString())
    , m_version({QStringLiteral("v"), QStringLiteral("version")}, QString())
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    m_parser.addOption(m_help);
    m_parser.addOption(m_version);
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
    return std::nullopt;
}
