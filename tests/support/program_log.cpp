#include "tests/support/program_log.h"

#include "tests/support/program_run.h"

QString ProgramLog::output(const QString& text)
{
    return QStringLiteral("🔧 CorvaltManager outputHandler called with: ") + text;
}

QStringList ProgramLog::quitBySignal(const QString& signalName, Tool tool)
{
    QStringList lines{QStringLiteral("🛑 Received %1, quitting").arg(signalName),
                      QStringLiteral("🧹 CorvaltManager cleanup called")};
    switch (tool) {
    case Tool::None:
        lines.append(QStringLiteral("ℹ️ No running CLI process to clean up"));
        break;
    case Tool::Graceful:
        lines.append({QStringLiteral("🧹 Terminating running CLI process"),
                      QStringLiteral("✅ CLI process cleanup completed")});
        break;
    case Tool::Forced:
        lines.append({QStringLiteral("🧹 Terminating running CLI process"),
                      QStringLiteral("⚠️ Process didn't terminate gracefully, forcing termination"),
                      QStringLiteral("✅ CLI process cleanup completed")});
        break;
    }
    lines.append({QStringLiteral("🛑 AppDelegate applicationWillTerminate called"),
                  QStringLiteral("🧹 CorvaltManager cleanup called"),
                  QStringLiteral("ℹ️ No running CLI process to clean up"),
                  QStringLiteral("🛑 App termination cleanup completed")});
    return lines;
}

QStringList ProgramLog::quitLines(const ProgramRun& run)
{
    return run.linesStartingWith({QStringLiteral("🛑"),
                                  QStringLiteral("🧹"),
                                  QStringLiteral("ℹ️ No running"),
                                  QStringLiteral("✅ CLI process"),
                                  QStringLiteral("⚠️ Process")});
}

QStringList ProgramLog::launch(const QString& downloadUrl, bool updateMode)
{
    return {QStringLiteral("🚀 AppDelegate applicationDidFinishLaunching called"),
            QStringLiteral("🚀 About to call downloadAndRunCLI"),
            QStringLiteral("🚀 downloadAndRunCLI() called"),
            QStringLiteral("🔍 Searching for existing corvalt processes..."),
            QStringLiteral("📥 Downloading latest CLI version..."),
            QStringLiteral("📥 installCLI() called"),
            QStringLiteral("📥 Binary name: tool-linux-amd64"),
            QStringLiteral("📥 Download URL: ") + downloadUrl,
            QStringLiteral("📥 Update mode: ") + (updateMode ? QStringLiteral("true") : QStringLiteral("false")),
            QStringLiteral("🚀 downloadAndRunCLI called"),
            QStringLiteral("🚀 Opening terminal window automatically")};
}
