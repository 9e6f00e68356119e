#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <optional>

// The program's own options, and Qt's, which the program accepts and leaves to Qt. --help,
// --version, a usage error and the lack of any display are answered before Qt starts, so that
// none of them needs a display: the program is configured at build time and takes no arguments.
class CommandLine
{
public:
    CommandLine(int argc, const char* const* argv);

    // Prints the help, the version or what is wrong and returns the exit status; nothing when
    // the program should start.
    std::optional<int> answer() const;

private:
    bool hasDisplay() const;

    QCommandLineParser m_parser;
    const QCommandLineOption m_help;
    const QCommandLineOption m_version;
    const QCommandLineOption m_platform;
    const QCommandLineOption m_display;
    bool m_valid = false;
};
