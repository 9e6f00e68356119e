#include "manager/corvalt_manager.h"

#include "manager/installed_build_record.h"
#include "manager/log_excerpt.h"
#include "manager/shell_command.h"
#include "manager/stale_process_sweep.h"
#include "manager/tool_download.h"
#include "manager/tool_process.h"
#include "platform/log.h"
#include "platform/process_control.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <filesystem>

namespace {

constexpr std::chrono::milliseconds StopDeadline{2000};

constexpr QFile::Permissions ToolPermissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
    QFile::ReadUser | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
    QFile::ExeOther;

// Any item counts, whatever its kind, a dangling symbolic link included.
bool itemExists(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

std::filesystem::path fsPath(const QString& path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

} // namespace

CorvaltManager::CorvaltManager(ManagerConfig config, QObject* parent)
    : QObject(parent)
    , m_config(std::move(config))
    , m_output(m_config.maxOutputBytes)
    , m_installDir(QDir(m_config.homeDirectory).filePath(QStringLiteral(".corvalt/bin")))
{
    // A stopped tool's own children are handed to us, so that none is left as a zombie.
    ProcessControl::adoptOrphanedDescendants();

    m_outputHandler = [weak = QPointer<CorvaltManager>(this)](const QString& text) {
        Log::print(QStringLiteral("🔧 CorvaltManager outputHandler called with: ") + text);
        // Always queued, also from the main thread: output never changes inside an emitter.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weak, text] {
                Log::print(u"🔧 CorvaltManager updating output on main thread");
                if (!weak) {
                    Log::print(u"🔧 CorvaltManager output is now: nil");
                    return;
                }
                const qsizetype dropped = weak->m_output.append(text);
                Q_EMIT weak->outputAppended(text, dropped);
                Log::print(QStringLiteral("🔧 CorvaltManager output is now: ") + LogExcerpt::tail(weak->output()));
            },
            Qt::QueuedConnection);
    };
    m_output.append(QStringLiteral("🔧 Corvalt Manager initialized\n"));
}

CorvaltManager::~CorvaltManager() = default;

ToolProcess* CorvaltManager::currentProcess() const
{
    return m_currentProcess;
}

QString CorvaltManager::toolPath() const
{
    return QDir(m_installDir).filePath(QStringLiteral("corvalt"));
}

void CorvaltManager::emitText(const QString& text) const
{
    if (m_outputHandler) {
        m_outputHandler(text);
    }
}

void CorvaltManager::createInstallDirectory()
{
    QDir().mkpath(m_installDir);
}

void CorvaltManager::downloadAndRunTool()
{
    Log::print(u"🚀 downloadAndRunCLI() called");
    emitText(QStringLiteral("🚀 Starting Corvalt CLI setup...\n"));
    cleanupExistingProcesses();
    Log::print(u"📥 Downloading latest CLI version...");
    emitText(QStringLiteral("📥 Downloading latest CLI version...\n"));
    installTool();
}

void CorvaltManager::installTool()
{
    Log::print(u"📥 installCLI() called");
    QUrl url = m_config.baseUrl;
    url.setPath(url.path() + u'/' + m_config.assetName);
    const QString urlText = url.toString(QUrl::FullyEncoded);
    const bool updateMode = itemExists(toolPath());
    Log::print(QStringLiteral("📥 Binary name: ") + m_config.assetName);
    Log::print(QStringLiteral("📥 Download URL: ") + urlText);
    Log::print(QStringLiteral("📥 Update mode: ") + (updateMode ? QStringLiteral("true") : QStringLiteral("false")));
    if (updateMode) {
        emitText(QStringLiteral("🔄 Updating CLI to latest version from %1\n").arg(urlText));
    } else {
        emitText(QStringLiteral("📥 Installing CLI from %1\n").arg(urlText));
    }

    auto* download =
        new ToolDownload(url, m_installDir, {m_config.downloadStallTimeout, m_config.maxDownloadBytes}, this);
    connect(download, &ToolDownload::finished, this, [this, download, updateMode](bool ok) {
        finishDownload(download, ok, updateMode);
        download->deleteLater();
    });
    // A download comes once a launch; what its network stack used is not kept for the session.
    connect(download, &QObject::destroyed, this, [] { ProcessControl::releaseFreeMemory(); });
    const InstalledBuildRecord record(m_config.settingsFile);
    download->start(m_config.extraCaCertificatesFile,
                    m_config.minisignPublicKey,
                    record.validatorsFor(url, toolPath(), m_config.minisignPublicKey));
}

void CorvaltManager::finishDownload(ToolDownload* download, bool ok, bool updateMode)
{
    const QString path = toolPath();
    const auto installError = [this](const QString& description) {
        emitText(QStringLiteral("❌ Install error: %1\n").arg(description));
        Log::print(QStringLiteral("❌ Install error: ") + description);
    };

    if (!ok) {
        if (download->failedLocally()) {
            installError(download->errorString());
        } else {
            emitText(QStringLiteral("❌ Download error: %1\n").arg(download->errorString()));
        }
        return;
    }
    if (download->isNotModified()) {
        emitText(QStringLiteral("ℹ️ CLI is already the latest version at %1\n").arg(path));
        Log::print(u"ℹ️ CLI is already the latest version");
        QMetaObject::invokeMethod(this, &CorvaltManager::runTool, Qt::QueuedConnection);
        return;
    }

    // The new build gets its mode while staged and then replaces the old one in one rename, so
    // a failure at any step leaves the installed tool as it was.
    QTemporaryFile& staged = download->stagedFile();
    if (!staged.setPermissions(ToolPermissions)) {
        installError(staged.errorString());
        return;
    }
    staged.close();

    std::error_code error;
    const std::filesystem::path target = fsPath(path);
    const bool replacing = itemExists(path);
    if (replacing) {
        Log::print(QStringLiteral("🗑️ Removing existing binary at ") + path);
        // A file cannot be renamed over a directory: that has to go first.
        if (std::filesystem::is_directory(std::filesystem::symlink_status(target, error))) {
            std::filesystem::remove_all(target, error);
            if (error) {
                installError(QString::fromStdString(error.message()));
                return;
            }
        }
    }
    std::filesystem::rename(fsPath(staged.fileName()), target, error);
    if (error) {
        installError(QString::fromStdString(error.message()));
        return;
    }
    staged.setAutoRemove(false);
    if (replacing) {
        emitText(QStringLiteral("🗑️ Removed existing CLI binary\n"));
    }

    if (updateMode) {
        emitText(QStringLiteral("✅ CLI updated to latest version at %1\n").arg(path));
        Log::print(u"✅ CLI updated successfully");
    } else {
        emitText(QStringLiteral("✅ CLI installed at %1\n").arg(path));
        Log::print(u"✅ CLI installed successfully");
    }
    InstalledBuildRecord record(m_config.settingsFile);
    if (!record.store(download->url(), path, m_config.minisignPublicKey, download->validators())) {
        // Nothing worse follows than a whole download at the next launch.
        Log::print(QStringLiteral("⚠️ Installed build not recorded: ") + record.errorString());
    }
    QMetaObject::invokeMethod(this, &CorvaltManager::runTool, Qt::QueuedConnection);
}

void CorvaltManager::cleanupExistingProcesses()
{
    // The tool is started under the name the search looks for.
    const QString toolName = m_config.searchArguments.isEmpty() ? QString() : m_config.searchArguments.constLast();
    const StaleProcessSweep sweep(m_config.searchProgram,
                                  m_config.searchArguments,
                                  StaleCopyRule(toolName, toolPath()),
                                  [this](const QString& text) { emitText(text); });
    sweep.run();
}

void CorvaltManager::runTool()
{
    const QFileInfo tool(toolPath());
    if (!tool.isFile() || !tool.isExecutable()) {
        emitText(QStringLiteral("❌ CLI not found or not executable at %1\n").arg(toolPath()));
        return;
    }
    if (m_currentProcess) {
        m_currentProcess->requestStop(StopDeadline);
    }
    runInShell(QStringLiteral("zsh"));
}

void CorvaltManager::runInShell(const QString& shellName)
{
    const QString shellPath = shellName == u"zsh" ? m_config.zshPath : m_config.bashPath;
    auto* process = new ToolProcess(shellName,
                                    shellPath,
                                    ShellCommand::forTool(toolPath()),
                                    ShellCommand::environment(QProcessEnvironment::systemEnvironment()),
                                    this);
    emitText(QStringLiteral("▶️ Starting corvalt CLI in %1 with color support...\n").arg(shellName));
    connect(process, &ToolProcess::textRead, this, &CorvaltManager::emitText);
    connect(
        process,
        &ToolProcess::exited,
        this,
        [this, process](int status) { onToolExited(process, status); },
        Qt::QueuedConnection);

    if (process->launch()) {
        m_currentProcess = process;
        emitText(QStringLiteral("✅ CLI started successfully in %1\n").arg(shellName));
        return;
    }
    const QString description = process->errorString();
    process->deleteLater();
    if (shellName == u"zsh") {
        emitText(QStringLiteral("⚠️ Failed to start in zsh, trying bash: %1\n").arg(description));
        runInShell(QStringLiteral("bash"));
    } else {
        emitText(QStringLiteral("❌ Failed to run CLI in bash: %1\n").arg(description));
    }
}

void CorvaltManager::onToolExited(ToolProcess* process, int status)
{
    // Only the recorded process that nobody is stopping may fall back or clear the record: a
    // stopped or replaced one must not start a tool beside the new one, or forget it.
    const bool current = process == m_currentProcess;
    if (status != 0 && process->shellName() == u"zsh" && current && !process->isStopping()) {
        emitText(QStringLiteral("⚠️ zsh failed, trying bash...\n"));
        runInShell(QStringLiteral("bash"));
    } else {
        emitText(QStringLiteral("\n⚡️ CLI exited with code %1\n").arg(status));
        if (current) {
            m_currentProcess = nullptr;
        }
    }
    if (process->hasLiveGroupMembers()) {
        m_leftovers.append(process);
    } else {
        process->deleteLater();
    }
}

void CorvaltManager::stopLeftovers()
{
    for (ToolProcess* const process : std::as_const(m_leftovers)) {
        if (process) {
            process->requestStop(StopDeadline);
        }
    }
}

void CorvaltManager::awaitLeftovers()
{
    for (ToolProcess* const process : std::as_const(m_leftovers)) {
        if (!process) {
            continue;
        }
        if (!process->waitForStop()) {
            process->killGroup();
        }
        process->deleteLater();
    }
    m_leftovers.clear();
}

void CorvaltManager::reapAdoptedOrphans()
{
    QSet<qint64> shells;
    for (const ToolProcess* const process : findChildren<ToolProcess*>(Qt::FindDirectChildrenOnly)) {
        if (process->processId() > 0) {
            shells.insert(process->processId());
        }
    }
    ProcessControl::reapAdoptedChildren(shells);
}

void CorvaltManager::cleanup()
{
    Log::print(u"🧹 CorvaltManager cleanup called");
    emitText(QStringLiteral("🧹 Cleaning up CLI process...\n"));
    // Children that finished runs left behind go too, without a word and within the same
    // deadline: nothing of the tool may outlive us.
    stopLeftovers();
    if (!m_currentProcess || !m_currentProcess->isRunning()) {
        awaitLeftovers();
        Log::print(u"ℹ️ No running CLI process to clean up");
        return;
    }
    Log::print(u"🧹 Terminating running CLI process");
    ToolProcess* const process = m_currentProcess;
    process->requestStop(StopDeadline);
    if (!process->waitForStop()) {
        Log::print(u"⚠️ Process didn't terminate gracefully, forcing termination");
        process->killGroup();
    }
    awaitLeftovers();
    m_currentProcess = nullptr;
    Log::print(u"✅ CLI process cleanup completed");
}
