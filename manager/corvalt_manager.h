#pragma once

#include "manager/manager_config.h"
#include "manager/output_text.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class ToolDownload;
class ToolProcess;

// The one owner of the tool: its installed file, the process that runs it, and the output it
// and the manager write. Lives on the main thread.
class CorvaltManager : public QObject
{
    Q_OBJECT

public:
    using OutputHandler = std::function<void(const QString&)>;

    explicit CorvaltManager(ManagerConfig config, QObject* parent = nullptr);
    ~CorvaltManager() override;

    const QString& output() const { return m_output.text(); }
    const OutputHandler& outputHandler() const { return m_outputHandler; }
    const QString& installDir() const { return m_installDir; }
    const QUrl& baseURL() const { return m_config.baseUrl; }
    QString toolPath() const;
    ToolProcess* currentProcess() const;

    void createInstallDirectory();
    // The log names these downloadAndRunCLI, installCLI and runCLI: its lines are kept as they are.
    void downloadAndRunTool();
    void installTool();
    void runTool();
    void runInShell(const QString& shellName);
    void cleanupExistingProcesses();
    void cleanup();
    // Reaps the tool's orphans that were handed to us and have ended since; the shells the
    // manager started are left to their own QProcess. For each SIGCHLD.
    void reapAdoptedOrphans();

Q_SIGNALS:
    // After each change of output(): the text appended, and how many characters were first
    // dropped from the front to keep the output within its bound.
    void outputAppended(const QString& appended, qsizetype droppedFromFront);

private:
    void emitText(const QString& text) const;
    void finishDownload(ToolDownload* download, bool ok, bool updateMode);
    void onToolExited(ToolProcess* process, int status);
    void stopLeftovers();
    void awaitLeftovers();

    ManagerConfig m_config;
    OutputText m_output;
    OutputHandler m_outputHandler;
    QString m_installDir;
    QPointer<ToolProcess> m_currentProcess;
    // Finished runs whose children still live in their process group; ended at cleanup.
    QList<QPointer<ToolProcess>> m_leftovers;
};
