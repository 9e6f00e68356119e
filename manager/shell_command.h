#pragma once

#include <QProcessEnvironment>
#include <QString>

// The command line and environment under which a login shell runs the tool.
class ShellCommand
{
public:
    // The path quoted for a POSIX shell, so that blanks, quotes and `$` in it stay literal.
    static QString quoted(const QString& path);

    // Runs the tool in colour with its errors hidden, and once more plainly if that fails.
    static QString forTool(const QString& toolPath);

    // A copy of `base` that tells the tool it writes to a colour terminal.
    static QProcessEnvironment environment(QProcessEnvironment base);
};
