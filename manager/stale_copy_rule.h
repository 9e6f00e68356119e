#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Tells a running copy of the tool from a process that only mentions the tool's name in its
// command line (an editor on notes about it, `tail -f` on its log, a build in a folder named
// after it): the sweep may end only the former.
class StaleCopyRule
{
public:
    // toolName: the file name the tool is started under; toolPath: the installed tool, whose
    // "#!" line, if it has one, tells how its copies look when an interpreter runs them.
    StaleCopyRule(QString toolName, QString toolPath);

    bool isToolProcess(qint64 pid) const;

    // executable: what the kernel names the process's program, empty when unreadable; the
    // command line alone decides then.
    bool isTool(const QString& executable, const QStringList& commandLine) const;

private:
    bool namesTool(const QString& path) const;
    bool runsInstalledTool(const QStringList& commandLine) const;
    bool interpretsInstalledTool(const QStringList& commandLine) const;

    QString m_toolName;
    QString m_toolPath;
    // What comes before the tool's path in a copy that an interpreter runs: the interpreter
    // (compared by file name) and the one argument the "#!" line may give it.
    QList<QStringList> m_interpreterLeads;
};
