#include "manager_test_support.h"
#include "tests/support/log_capture.h"

#include <QProcess>
#include <QTest>

#include <memory>

// The sweep against real processes that carry a word unique to this run in their command lines.
class TestStaleProcessSweep : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void nothingFound();
    void gracefulAndStubbornCopies();
    void searchProgramMissing();
    void ownProcessAncestorsAndGroupsAreNeverSignalled();

private:
    static std::unique_ptr<QProcess>
    startStale(const TestSandbox& sandbox, const QString& word, const QByteArray& trap);
    static const QStringList SweepPrefixes;
};

const QStringList TestStaleProcessSweep::SweepPrefixes = {
    QStringLiteral("🔍"),
    QStringLiteral("⚠️ Failed"),
    QStringLiteral("ℹ️"),
    QStringLiteral("🎯"),
    QStringLiteral("🔨"),
    QStringLiteral("⚡️"),
    QStringLiteral("✅"),
    QStringLiteral("🔧 CorvaltManager outputHandler called with: ✅")};

std::unique_ptr<QProcess>
TestStaleProcessSweep::startStale(const TestSandbox& sandbox, const QString& word, const QByteArray& trap)
{
    const QString script = sandbox.root() + u'/' + word + u'-' + QString::number(qHash(trap));
    TestSandbox::writeScript(script, trap + "\necho ready\nwhile :; do sleep 0.05; done\n");
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral("/bin/sh"), {script});
    // Only once the trap is set may the sweep signal it.
    if (!process->waitForReadyRead(10000)) {
        return nullptr;
    }
    return process;
}

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

void TestStaleProcessSweep::gracefulAndStubbornCopies()
{
    TestSandbox sandbox;
    ManagerConfig config = sandboxConfig(sandbox);
    const QString word = config.searchArguments.last();
    CorvaltManager manager(config);
    const auto graceful = startStale(sandbox, word, "trap 'exit 0' TERM");
    const auto stubborn = startStale(sandbox, word, "trap '' TERM");
    QVERIFY(graceful && stubborn);
    const qint64 first = std::min(graceful->processId(), stubborn->processId());
    const qint64 second = std::max(graceful->processId(), stubborn->processId());
    const QString stubbornId = QString::number(stubborn->processId());

    const LogCapture log;
    manager.cleanupExistingProcesses();

    QStringList expected{QStringLiteral("🔍 Searching for existing corvalt processes..."),
                         QStringLiteral("🎯 Found 2 corvalt process(es): [%1, %2]").arg(first).arg(second),
                         QStringLiteral("🔨 Killing corvalt process with PID: %1").arg(first)};
    if (stubborn->processId() == first) {
        expected.append(QStringLiteral("⚡️ Force killing stubborn process PID: ") + stubbornId);
    }
    expected.append(QStringLiteral("🔨 Killing corvalt process with PID: %1").arg(second));
    if (stubborn->processId() == second) {
        expected.append(QStringLiteral("⚡️ Force killing stubborn process PID: ") + stubbornId);
    }
    expected.append(
        QStringLiteral("🔧 CorvaltManager outputHandler called with: ✅ Cleaned up existing corvalt processes"));
    expected.append(QStringLiteral("✅ All existing corvalt processes terminated"));
    QCOMPARE(log.linesStartingWith(SweepPrefixes), expected);

    QVERIFY(graceful->waitForFinished(5000));
    QVERIFY(stubborn->waitForFinished(5000));
    QCOMPARE(graceful->exitStatus(), QProcess::NormalExit);
    QCOMPARE(stubborn->exitStatus(), QProcess::CrashExit);
    QTRY_COMPARE(manager.output(),
                 QStringLiteral("🔧 Corvalt Manager initialized\n"
                                "🔍 Checking for existing corvalt processes...\n"
                                "🎯 Found 2 existing corvalt process(es), terminating...\n"
                                "✅ Cleaned up existing corvalt processes\n"));
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

void TestStaleProcessSweep::ownProcessAncestorsAndGroupsAreNeverSignalled()
{
    TestSandbox sandbox;
    ManagerConfig config = sandboxConfig(sandbox);
    const QString word = config.searchArguments.last();
    CorvaltManager manager(config);
    const auto stale = startStale(sandbox, word, "trap 'exit 0' TERM");
    QVERIFY(stale);

    // A search program that also names this test, its parent, init and process groups.
    const QString search = sandbox.root() + QStringLiteral("/fake-search");
    TestSandbox::writeScript(search,
                             "echo 0\necho 1\necho -1\necho -$PPID\necho $PPID\n"
                             "awk '{print $4}' /proc/$PPID/stat\necho not-a-pid\n"
                             "echo " +
                                 QByteArray::number(stale->processId()) + "\n");
    config.searchProgram = search;
    config.searchArguments = {};
    CorvaltManager hostile(config);

    const LogCapture log;
    hostile.cleanupExistingProcesses();
    QCOMPARE(log.linesStartingWith({QStringLiteral("🎯"), QStringLiteral("🔨"), QStringLiteral("⚡️")}),
             (QStringList{QStringLiteral("🎯 Found 1 corvalt process(es): [%1]").arg(stale->processId()),
                          QStringLiteral("🔨 Killing corvalt process with PID: %1").arg(stale->processId())}));
    QVERIFY(stale->waitForFinished(5000));
    QTRY_VERIFY(hostile.output().contains(QStringLiteral("🎯 Found 1 existing corvalt process(es), terminating...\n")));
}

QTEST_GUILESS_MAIN(TestStaleProcessSweep)
#include "tst_stale_process_sweep.moc"
