#include "manager_test_support.h"
#include "tests/support/log_capture.h"

#include <QTest>

// The stop path: the tool's whole process group ends, politely first, by force at the deadline.
class TestManagerCleanup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void nothingToCleanUp();
    void gracefulToolEndsWithoutForce_data();
    void gracefulToolEndsWithoutForce();
    void stubbornToolIsKilledAtTheDeadline();
    void childrenOfTheToolEndToo();
    void plainRunInPlaceOfTheShellStopsPolitely();
    void toolThatExitedAlreadyIsNotSignalled();

private:
    static const QStringList CleanupPrefixes;
};

const QStringList TestManagerCleanup::CleanupPrefixes = {QStringLiteral("🧹"),
                                                         QStringLiteral("ℹ️ No running"),
                                                         QStringLiteral("⚠️ Process"),
                                                         QStringLiteral("✅ CLI process")};

void TestManagerCleanup::nothingToCleanUp()
{
    TestSandbox sandbox;
    CorvaltManager manager(sandboxConfig(sandbox));
    const LogCapture log;
    manager.cleanup();
    QCOMPARE(log.linesStartingWith(CleanupPrefixes),
             (QStringList{QStringLiteral("🧹 CorvaltManager cleanup called"),
                          QStringLiteral("ℹ️ No running CLI process to clean up")}));
    QTRY_VERIFY(manager.output().endsWith(QStringLiteral("🧹 Cleaning up CLI process...\n")));
}

void TestManagerCleanup::gracefulToolEndsWithoutForce_data()
{
    QTest::addColumn<QByteArray>("onTerminate");
    QTest::newRow("says goodbye") << QByteArray("trap 'echo goodbye; exit 0' TERM\n");
    // Ended by the signal itself, the tool reports failure: the shell must not answer with its
    // plain run of the tool.
    QTest::newRow("default action") << QByteArray("echo goodbye\n");
}

void TestManagerCleanup::gracefulToolEndsWithoutForce()
{
    QFETCH(QByteArray, onTerminate);
    TestSandbox sandbox;
    // Interactive shells ignore SIGTERM and would run the tool again after it ends: neither may
    // keep the stop waiting until the deadline (which the warning line would show).
    TestSandbox::writeScript(sandbox.toolPath(), onTerminate + "echo up\nwhile :; do sleep 0.05; done\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QTRY_VERIFY(manager.output().contains(QStringLiteral("up\n")));
    const qint64 group = manager.currentProcess()->processId();

    const LogCapture log;
    manager.cleanup();
    QCOMPARE(log.linesStartingWith(CleanupPrefixes),
             (QStringList{QStringLiteral("🧹 CorvaltManager cleanup called"),
                          QStringLiteral("🧹 Terminating running CLI process"),
                          QStringLiteral("✅ CLI process cleanup completed")}));
    QVERIFY(!manager.currentProcess());
    QVERIFY(processesInGroup(group).isEmpty());

    QTRY_VERIFY(manager.output().contains(QStringLiteral("⚡️ CLI exited with code")));
    QTest::qWait(300);
    QVERIFY(manager.output().contains(QStringLiteral("goodbye\n")));
    QVERIFY(!manager.output().contains(QStringLiteral("trying bash")));
    QCOMPARE(manager.output().count(QStringLiteral("▶️ Starting")), 1);

    // Quit runs cleanup twice: the second finds nothing.
    const LogCapture second;
    manager.cleanup();
    QCOMPARE(second.linesStartingWith(CleanupPrefixes),
             (QStringList{QStringLiteral("🧹 CorvaltManager cleanup called"),
                          QStringLiteral("ℹ️ No running CLI process to clean up")}));
}

void TestManagerCleanup::stubbornToolIsKilledAtTheDeadline()
{
    TestSandbox sandbox;
    TestSandbox::writeScript(sandbox.toolPath(), "trap '' TERM\necho up\nwhile :; do sleep 0.05; done\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QTRY_VERIFY(manager.output().contains(QStringLiteral("up\n")));
    const qint64 group = manager.currentProcess()->processId();

    const LogCapture log;
    manager.cleanup();
    QCOMPARE(log.linesStartingWith(CleanupPrefixes),
             (QStringList{QStringLiteral("🧹 CorvaltManager cleanup called"),
                          QStringLiteral("🧹 Terminating running CLI process"),
                          QStringLiteral("⚠️ Process didn't terminate gracefully, forcing termination"),
                          QStringLiteral("✅ CLI process cleanup completed")}));
    QVERIFY(!manager.currentProcess());
    QVERIFY(processesInGroup(group).isEmpty());
    QTest::qWait(300);
    QVERIFY(!manager.output().contains(QStringLiteral("trying bash")));
}

void TestManagerCleanup::childrenOfTheToolEndToo()
{
    TestSandbox sandbox;
    const QString pidFile = sandbox.root() + QStringLiteral("/child.pid");
    TestSandbox::writeScript(sandbox.toolPath(),
                             QByteArray("sleep 300 &\necho $! > '") + QFile::encodeName(pidFile) +
                                 "'\necho up\nwhile :; do sleep 0.05; done\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QTRY_VERIFY(manager.output().contains(QStringLiteral("up\n")));
    const qint64 group = manager.currentProcess()->processId();
    const qint64 child = readAll(pidFile).trimmed().toLongLong();
    QVERIFY(child > 1);
    QVERIFY(processesInGroup(group).contains(child));

    manager.cleanup();
    // Neither the tool, its shell, nor the child it left behind: not even as zombies.
    QVERIFY(processesInGroup(group).isEmpty());
    QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(child)));
}

void TestManagerCleanup::plainRunInPlaceOfTheShellStopsPolitely()
{
    TestSandbox sandbox;
    // The colour run fails, and the shell runs the plain one in its own process.
    TestSandbox::writeScript(sandbox.toolPath(),
                             "[ \"$1\" = --color=always ] && exit 1\n"
                             "trap 'echo plain-goodbye; exit 0' TERM\necho plain-up\nwhile :; do sleep 0.05; done\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QTRY_VERIFY(manager.output().contains(QStringLiteral("plain-up\n")));
    const qint64 group = manager.currentProcess()->processId();

    const LogCapture log;
    manager.cleanup();
    QVERIFY(!log.lines().contains(QStringLiteral("⚠️ Process didn't terminate gracefully, forcing termination")));
    QVERIFY(processesInGroup(group).isEmpty());
    QTRY_VERIFY(manager.output().contains(QStringLiteral("⚡️ CLI exited with code")));
    QVERIFY2(manager.output().contains(QStringLiteral("plain-goodbye\n")), qPrintable(manager.output()));
    QVERIFY(!manager.output().contains(QStringLiteral("trying bash")));
}

void TestManagerCleanup::toolThatExitedAlreadyIsNotSignalled()
{
    TestSandbox sandbox;
    TestSandbox::writeScript(sandbox.toolPath(), "echo done\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QTRY_VERIFY(manager.output().contains(QStringLiteral("⚡️ CLI exited with code 0")));
    const LogCapture log;
    manager.cleanup();
    QCOMPARE(log.linesStartingWith(CleanupPrefixes),
             (QStringList{QStringLiteral("🧹 CorvaltManager cleanup called"),
                          QStringLiteral("ℹ️ No running CLI process to clean up")}));
}

QTEST_GUILESS_MAIN(TestManagerCleanup)
#include "tst_manager_cleanup.moc"
