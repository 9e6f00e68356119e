#include "manager/shell_command.h"

QString ShellCommand::quoted(const QString& path)
{
    QString result = path;
    result.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + result + u'\'';
}

QString ShellCommand::forTool(const QString& toolPath)
{
    const QString tool = quoted(toolPath);
    return tool + QStringLiteral(" --color=always 2>/dev/null || ") + tool;
}

QProcessEnvironment ShellCommand::environment(QProcessEnvironment base)
{
    base.insert(QStringLiteral("TERM"), QStringLiteral("xterm-256color"));
    base.insert(QStringLiteral("COLORTERM"), QStringLiteral("truecolor"));
    base.insert(QStringLiteral("FORCE_COLOR"), QStringLiteral("1"));
    base.insert(QStringLiteral("CLICOLOR"), QStringLiteral("1"));
    base.insert(QStringLiteral("CLICOLOR_FORCE"), QStringLiteral("1"));
    base.insert(QStringLiteral("TERM_PROGRAM"), QStringLiteral("Corvalt Mac"));
    base.remove(QStringLiteral("ANSI_COLORS_DISABLED"));
    base.remove(QStringLiteral("NO_COLOR"));
    return base;
}
