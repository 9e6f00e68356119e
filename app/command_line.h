#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <optional>

// The program's own options. --help and --version answer and end the program before anything
// else runs; any other argument is a usage error, since the program is configured at build time.
class CommandLine
{
public:
    CommandLine(int argc, const char* const* argv);

    // Whether every argument is one of ours.
    bool isValid() const { return m_valid; }
    // Prints the help, the version or the usage error and returns the exit status; nothing when
    // the program should start.
    std::optional<int> answer() const;

private:
    QCommandLineParser m_parser;
    const QCommandLineOption m_help;
    const QCommandLineOption m_version;
    bool m_valid = false;
};
