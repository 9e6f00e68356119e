#pragma once

#include <QString>
#include <QStringList>

class ProgramRun;

// The program's own log lines that the fault cases expect, exactly as it writes them.
class ProgramLog
{
public:
    enum class Tool {
        None,     // nothing was running at the quit
        Graceful, // ended on the polite request
        Forced,   // ignored it and was killed at the deadline
    };

    // The log line that carries a text passed to the output (its first line, for texts that
    // hold line feeds).
    static QString output(const QString& text);
    // A quit by a termination signal ("SIGTERM"), from the signal to the end of the termination
    // sequence.
    static QStringList quitBySignal(const QString& signalName, Tool tool);
    // The run's lines of that sequence.
    static QStringList quitLines(const ProgramRun& run);
    // The launch sequence in order, from the delegate's first line to the window job.
    static QStringList launch(const QString& downloadUrl, bool updateMode);
};
