#include "manager/stale_copy_rule.h"

#include "platform/process_control.h"

#include <QFile>
#include <QRegularExpression>

namespace {
const QString DeletedSuffix = QStringLiteral(" (deleted)");

QString fileName(const QString& path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

bool isShell(const QString& path)
{
    static const QStringList shells = {
        QStringLiteral("sh"), QStringLiteral("dash"), QStringLiteral("bash"), QStringLiteral("zsh")};
    // A login shell's name starts with '-'.
    QString name = fileName(path);
    if (name.startsWith(u'-')) {
        name.remove(0, 1);
    }
    return shells.contains(name);
}

// A "-c" flag, alone or among others ("-lic"); long options never are one.
bool isCommandFlag(const QString& argument)
{
    return argument.startsWith(u'-') && !argument.startsWith(QStringLiteral("--")) && argument.contains(u'c');
}

// How the kernel starts a script: "#!INTERPRETER [ARGUMENT]" runs INTERPRETER [ARGUMENT] PATH,
// and "#!/usr/bin/env NAME" then runs NAME PATH in place of env.
QList<QStringList> interpreterLeads(const QString& toolPath)
{
    QFile file(toolPath);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray line = file.readLine(4096);
    if (!line.startsWith("#!")) {
        return {};
    }
    const QString rest = QFile::decodeName(line.mid(2)).trimmed();
    const qsizetype blank = rest.indexOf(QRegularExpression(QStringLiteral("[ \\t]")));
    const QString interpreter = blank < 0 ? rest : rest.left(blank);
    const QString argument = blank < 0 ? QString() : rest.mid(blank + 1).trimmed();
    if (interpreter.isEmpty()) {
        return {};
    }
    QList<QStringList> leads{argument.isEmpty() ? QStringList{interpreter} : QStringList{interpreter, argument}};
    if (fileName(interpreter) == u"env" && !argument.isEmpty() && !argument.startsWith(u'-') &&
        !argument.contains(u' ') && !argument.contains(u'\t')) {
        leads.append(QStringList{argument});
    }
    return leads;
}
} // namespace

StaleCopyRule::StaleCopyRule(QString toolName, QString toolPath)
    : m_toolName(std::move(toolName)), m_toolPath(std::move(toolPath)), m_interpreterLeads(interpreterLeads(m_toolPath))
{
}

bool StaleCopyRule::isToolProcess(qint64 pid) const
{
    return isTool(ProcessControl::executableOf(pid), ProcessControl::commandLineOf(pid));
}

bool StaleCopyRule::isTool(const QString& executable, const QStringList& commandLine) const
{
    QString program = executable;
    // A build replaced since it started still counts as the tool.
    if (program.endsWith(DeletedSuffix)) {
        program.chop(DeletedSuffix.size());
    }
    if (namesTool(program)) {
        return true;
    }
    if (commandLine.isEmpty()) {
        return false;
    }
    if (namesTool(commandLine.constFirst())) {
        return true;
    }
    const bool shell = program.isEmpty() ? isShell(commandLine.constFirst()) : isShell(program);
    return (shell && runsInstalledTool(commandLine)) || interpretsInstalledTool(commandLine);
}

bool StaleCopyRule::namesTool(const QString& path) const
{
    return !path.isEmpty() && ((!m_toolName.isEmpty() && fileName(path) == m_toolName) || path == m_toolPath);
}

// What an earlier launch started: the path as an argument ("sh PATH --color=always") or as a
// word of a -c command ("zsh -l -i -c 'PATH --color=always 2>/dev/null || PATH'").
bool StaleCopyRule::runsInstalledTool(const QStringList& commandLine) const
{
    static const QString Boundary = QStringLiteral("[\\s;&|()<>'\"`]");
    const QRegularExpression word(
        QStringLiteral("(^|%1)%2($|%1)").arg(Boundary, QRegularExpression::escape(m_toolPath)));
    bool command = false;
    for (const QString& argument : commandLine.mid(1)) {
        if (argument == m_toolPath || (command && argument.contains(word))) {
            return true;
        }
        command = command || isCommandFlag(argument);
    }
    return false;
}

// Only the exact shape counts: a program that merely takes the path as an argument (a pager, an
// editor, a copy) is not the tool.
bool StaleCopyRule::interpretsInstalledTool(const QStringList& commandLine) const
{
    for (const QStringList& lead : m_interpreterLeads) {
        if (commandLine.size() > lead.size() && fileName(commandLine.constFirst()) == fileName(lead.constFirst()) &&
            commandLine.mid(1, lead.size() - 1) == lead.mid(1) && commandLine.at(lead.size()) == m_toolPath) {
            return true;
        }
    }
    return false;
}
