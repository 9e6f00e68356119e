#include "manager_test_support.h"
#include "platform/process_control.h"
#include "tests/support/log_capture.h"

#include <QProcess>
#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

namespace {
const QStringList SweepPrefixes = {QStringLiteral("🔍"),
                                   QStringLiteral("⚠️ Failed"),
                                   QStringLiteral("ℹ️"),
                                   QStringLiteral("🎯"),
                                   QStringLiteral("🔨"),
                                   QStringLiteral("⚡️"),
                                   QStringLiteral("✅"),
                                   QStringLiteral("🔧 CorvaltManager outputHandler called with: ✅")};

bool alive(qint64 pid)
{
    return ProcessControl::signalProcess(pid, ProcessControl::Signal::Probe);
}

// Real processes beside a sandbox whose home folder is named after the word, so that the
// installed tool's path carries it. Each starts as bash running a script given $W (the word),
// $D (the sandbox) and $P (the installed tool); all end with the object, by pid.
class Processes
{
public:
    explicit Processes(const TestSandbox& sandbox) : m_word(QFileInfo(sandbox.home()).fileName())
    {
        m_environment.insert(QStringLiteral("W"), m_word);
        m_environment.insert(QStringLiteral("D"), sandbox.root());
        m_environment.insert(QStringLiteral("P"), sandbox.toolPath());
        const QString root = sandbox.root();
        QDir(root).mkpath(QStringLiteral("bin"));
        QDir(root).mkpath(QStringLiteral("old"));
        QFile::copy(QStringLiteral("/bin/sleep"), root + QStringLiteral("/bin/") + m_word);
        QFile::copy(QStringLiteral("/bin/dash"), root + QStringLiteral("/old/") + m_word);
        TestSandbox::writeScript(sandbox.toolPath(), "while :; do sleep 0.05; done\n");
        TestSandbox::writeScript(root + QStringLiteral("/src/%1/build.sh").arg(m_word),
                                 "while :; do sleep 0.05; done\n");
        TestSandbox::writeScript(root + QStringLiteral("/notes/%1.log").arg(m_word), "");
    }
    ~Processes()
    {
        for (const qint64 pid : std::as_const(m_adopted)) {
            ProcessControl::signalProcess(pid, ProcessControl::Signal::Kill);
        }
        for (const auto& process : m_processes) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    Processes(const Processes&) = delete;
    Processes& operator=(const Processes&) = delete;

    QProcess* start(const QString& script)
    {
        auto& process = m_processes.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(m_environment);
        process->start(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), script});
        return process.get();
    }
    // Running as itself once its command line names the word (the scripts' last step is exec).
    bool ready(qint64 pid) const { return ProcessControl::commandLineOf(pid).join(u' ').contains(m_word); }
    void adopt(qint64 pid) { m_adopted.append(pid); }

private:
    QString m_word;
    QProcessEnvironment m_environment = QProcessEnvironment::systemEnvironment();
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QList<qint64> m_adopted;
};
} // namespace

class TestStaleProcessSweep : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void nothingFound();
    void endsTheToolAndSparesBystanders();
    void searchProgramMissing();
    void ownProcessAncestorsGroupsAndJunkAreNeverSignalled();
};

void TestStaleProcessSweep::nothingFound()
{
    TestSandbox sandbox;
    CorvaltManager manager(sandboxConfig(sandbox));
    const LogCapture log;
    manager.cleanupExistingProcesses();
    QCOMPARE(log.linesStartingWith(SweepPrefixes),
             (QStringList{QStringLiteral("🔍 Searching for existing corvalt processes..."),
                          QStringLiteral("ℹ️ No existing corvalt processes found")}));
    QTRY_COMPARE(manager.output(),
                 QStringLiteral("🔧 Corvalt Manager initialized\n"
                                "🔍 Checking for existing corvalt processes...\n"
                                "ℹ️ No existing corvalt processes found\n"));
}

void TestStaleProcessSweep::endsTheToolAndSparesBystanders()
{
    TestSandbox sandbox(TestSandbox::uniqueWord());
    ManagerConfig config = sandboxConfig(sandbox);
    config.searchArguments.last() = QFileInfo(sandbox.home()).fileName();
    CorvaltManager manager(config);
    Processes processes(sandbox);
    // Script, and the signal that ends it (0: a bystander, which must live on).
    const QList<std::pair<QString, int>> cases = {
        {QStringLiteral(R"(exec "$D/bin/$W" 1000)"), SIGTERM},
        {QStringLiteral(R"(trap '' TERM; exec "$D/bin/$W" 1001)"), SIGKILL},
        {QStringLiteral(R"(exec -a "$W" sleep 1002)"), SIGTERM},
        {QStringLiteral(R"(exec bash -c "$P --color=always 2>/dev/null || $P")"), SIGTERM},
        {QStringLiteral(R"(exec -a worker "$D/old/$W" -c 'trap "" TERM; while :; do sleep 0.05; done' "$W")"), SIGKILL},
        {QStringLiteral(R"(exec tail -f "$D/notes/$W.log")"), 0},
        {QStringLiteral(R"(exec /bin/sh "$D/src/$W/build.sh")"), 0},
        {QStringLiteral(R"(exec -a "$D/$W/sleep" sleep 1003)"), 0},
        {QStringLiteral(R"(exec sh -c "sleep 1004; : $P.old")"), 0}};
    QList<std::pair<QProcess*, int>> started;
    for (const auto& [script, signal] : cases) {
        started.append({processes.start(script), signal});
        QTRY_VERIFY(processes.ready(started.constLast().first->processId()));
    }
    // The earlier instance's shell has started the installed tool, a script run by sh.
    const qint64 shell = started.at(3).first->processId();
    const QString children = QStringLiteral("/proc/%1/task/%1/children").arg(shell);
    QTRY_VERIFY(!readAll(children).trimmed().isEmpty());
    const qint64 child = readAll(children).trimmed().toLongLong();
    processes.adopt(child);
    QTRY_VERIFY(ProcessControl::commandLineOf(child).contains(sandbox.toolPath()));
    // A build replaced since it started.
    QVERIFY(QFile::remove(sandbox.root() + QStringLiteral("/old/") + config.searchArguments.last()));

    QMap<qint64, bool> tools{{child, false}}; // pid, stubborn
    for (const auto& [process, signal] : started) {
        if (signal != 0) {
            tools.insert(process->processId(), signal == SIGKILL);
        }
    }
    QStringList ids;
    QStringList expected;
    for (auto tool = tools.cbegin(); tool != tools.cend(); ++tool) {
        ids.append(QString::number(tool.key()));
        expected.append(QStringLiteral("🔨 Killing corvalt process with PID: %1").arg(tool.key()));
        if (tool.value()) {
            expected.append(QStringLiteral("⚡️ Force killing stubborn process PID: %1").arg(tool.key()));
        }
    }
    expected.prepend(QStringLiteral("🎯 Found 6 corvalt process(es): [%1]").arg(ids.join(QStringLiteral(", "))));
    expected.prepend(QStringLiteral("🔍 Searching for existing corvalt processes..."));
    expected.append(
        QStringLiteral("🔧 CorvaltManager outputHandler called with: ✅ Cleaned up existing corvalt processes"));
    expected.append(QStringLiteral("✅ All existing corvalt processes terminated"));

    const LogCapture log;
    manager.cleanupExistingProcesses();
    QCOMPARE(log.linesStartingWith(SweepPrefixes), expected);
    QTRY_COMPARE(manager.output(),
                 QStringLiteral("🔧 Corvalt Manager initialized\n"
                                "🔍 Checking for existing corvalt processes...\n"
                                "🎯 Found 6 existing corvalt process(es), terminating...\n"
                                "✅ Cleaned up existing corvalt processes\n"));
    for (const auto& [process, signal] : started) {
        if (signal == 0) {
            QVERIFY2(alive(process->processId()), qPrintable(process->arguments().last()));
            continue;
        }
        QTRY_COMPARE(process->state(), QProcess::NotRunning);
        QCOMPARE(process->exitStatus(), QProcess::CrashExit);
        QCOMPARE(process->exitCode(), signal);
    }
    QTRY_VERIFY(!alive(child));
}

void TestStaleProcessSweep::searchProgramMissing()
{
    TestSandbox sandbox;
    ManagerConfig config = sandboxConfig(sandbox);
    config.searchProgram = sandbox.root() + QStringLiteral("/no-such-pgrep");
    CorvaltManager manager(config);
    const LogCapture log;
    manager.cleanupExistingProcesses();
    const QStringList lines = log.linesStartingWith(SweepPrefixes);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), QStringLiteral("🔍 Searching for existing corvalt processes..."));
    QVERIFY2(lines.at(1).startsWith(
                 QStringLiteral("⚠️ Failed to search for existing processes: QProcess::FailedToStart: ")),
             qPrintable(lines.at(1)));
    QTRY_VERIFY(manager.output().contains(QStringLiteral("⚠️ Failed to search for existing processes: ")));
    QVERIFY(manager.output().endsWith(u'\n'));
    QVERIFY(!manager.output().contains(QStringLiteral("ℹ️")));
}

void TestStaleProcessSweep::ownProcessAncestorsGroupsAndJunkAreNeverSignalled()
{
    TestSandbox sandbox(TestSandbox::uniqueWord());
    Processes processes(sandbox);
    QProcess* const tool = processes.start(QStringLiteral(R"(exec "$D/bin/$W" 1000)"));
    QProcess* const bystander = processes.start(QStringLiteral(R"(exec tail -f "$D/notes/$W.log")"));
    QTRY_VERIFY(processes.ready(tool->processId()) && processes.ready(bystander->processId()));

    // A search program that also names this test, its parent, init, process groups and a
    // process that only mentions the word.
    ManagerConfig config = sandboxConfig(sandbox);
    config.searchProgram = sandbox.root() + QStringLiteral("/fake-search");
    config.searchArguments = {QFileInfo(sandbox.home()).fileName()};
    TestSandbox::writeScript(config.searchProgram,
                             QStringLiteral("echo 0\necho 1\necho -1\necho -$PPID\necho $PPID\n"
                                            "awk '{print $4}' /proc/$PPID/stat\necho not-a-pid\necho %1\necho %2\n")
                                 .arg(tool->processId())
                                 .arg(bystander->processId())
                                 .toUtf8());
    CorvaltManager hostile(config);

    const LogCapture log;
    hostile.cleanupExistingProcesses();
    QCOMPARE(log.linesStartingWith({QStringLiteral("🎯"), QStringLiteral("🔨"), QStringLiteral("⚡️")}),
             (QStringList{QStringLiteral("🎯 Found 1 corvalt process(es): [%1]").arg(tool->processId()),
                          QStringLiteral("🔨 Killing corvalt process with PID: %1").arg(tool->processId())}));
    QTRY_COMPARE(tool->state(), QProcess::NotRunning);
    QVERIFY(alive(bystander->processId()));
}

QTEST_GUILESS_MAIN(TestStaleProcessSweep)
#include "tst_stale_process_sweep.moc"
