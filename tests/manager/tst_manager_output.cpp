#include "manager_test_support.h"
#include "tests/support/log_capture.h"

#include <QSignalSpy>
#include <QThread>

// The output channel: everything emitted, from any thread, reaches the output text whole and in
// order, within its bound, and never after the manager is gone.
class TestManagerOutput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void arrivesInOrderWithinItsBound_data();
    void arrivesInOrderWithinItsBound();
    void textQueuedAfterTheManagerIsGoneIsDropped();
};

void TestManagerOutput::arrivesInOrderWithinItsBound_data()
{
    QTest::addColumn<QString>("piece");
    QTest::addColumn<int>("count");
    QTest::newRow("many short lines") << QStringLiteral(" line\n") << 5000;
    QTest::newRow("one huge line") << QString(3000, u'x') << 3;
}

void TestManagerOutput::arrivesInOrderWithinItsBound()
{
    QFETCH(QString, piece);
    QFETCH(int, count);
    TestSandbox sandbox;
    ManagerConfig config = sandboxConfig(sandbox);
    config.maxOutputBytes = 4096; // 2048 characters
    CorvaltManager manager(config);
    QSignalSpy appended(&manager, &CorvaltManager::outputAppended);
    QString everything = manager.output();
    for (int i = 0; i < count; ++i) {
        everything += QString::number(i) + piece;
    }
    QScopedPointer<QThread> emitter(QThread::create([&manager, &piece, count] {
        for (int i = 0; i < count; ++i) {
            manager.outputHandler()(QString::number(i) + piece);
        }
    }));
    emitter->start();
    QVERIFY(emitter->wait(20000));
    // Never inside the emitter's call: only once the main loop has run the queued steps.
    QCOMPARE(manager.output(), QStringLiteral("🔧 Corvalt Manager initialized\n"));
    QTRY_COMPARE(appended.size(), count);
    qsizetype dropped = 0;
    for (const QList<QVariant>& arguments : appended) {
        dropped += arguments.at(1).value<qsizetype>();
    }
    QVERIFY(manager.output().size() <= 2048);
    // What is left is exactly the newest text, and an observer following the signal knows it.
    QCOMPARE(manager.output(), everything.mid(dropped));
}

void TestManagerOutput::textQueuedAfterTheManagerIsGoneIsDropped()
{
    TestSandbox sandbox;
    const LogCapture log;
    {
        const CorvaltManager manager(sandboxConfig(sandbox));
        manager.outputHandler()(QStringLiteral("late\n"));
    }
    QTRY_VERIFY(log.lines().contains(QStringLiteral("🔧 CorvaltManager output is now: nil")));
}

QTEST_GUILESS_MAIN(TestManagerOutput)
#include "tst_manager_output.moc"
