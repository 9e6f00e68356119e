#include "manager_test_support.h"
#include "tests/support/log_capture.h"

#include <QSignalSpy>
#include <QThread>

#include <optional>

using namespace Qt::StringLiterals;

// The output channel: everything emitted, from any thread, reaches the output text whole and in
// order, within its bound, and never after the manager is gone.
class TestManagerOutput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void arrivesInOrderWithinItsBound_data()
    {
        QTest::addColumn<QString>("piece");
        QTest::addColumn<int>("count");
        QTest::newRow("many short lines") << u" line\n"_s << 5000;
        QTest::newRow("one huge line") << QString(3000, u'x') << 3;
    }

    // Text queued by a manager that is gone by the time the main loop runs it is dropped.
    void arrivesInOrderWithinItsBound()
    {
        QFETCH(QString, piece);
        QFETCH(int, count);
        TestSandbox sandbox;
        const LogCapture log;
        ManagerConfig config = sandboxConfig(sandbox);
        config.maxOutputBytes = 4096; // 2048 characters
        std::optional<CorvaltManager> manager(std::in_place, config);
        QSignalSpy appended(&*manager, &CorvaltManager::outputAppended);
        QString everything = manager->output();
        QScopedPointer<QThread> emitter(QThread::create([&] {
            for (int i = 0; i < count; ++i) {
                manager->outputHandler()(QString::number(i) + piece);
            }
        }));
        emitter->start();
        QVERIFY(emitter->wait(20000));
        // Never inside the emitter's call: only once the main loop has run the queued steps.
        QCOMPARE(manager->output(), u"🔧 Corvalt Manager initialized\n"_s);
        QTRY_COMPARE(appended.size(), count);
        qsizetype dropped = 0;
        for (int i = 0; i < count; ++i) {
            everything += QString::number(i) + piece;
            dropped += appended.at(i).at(1).value<qsizetype>();
        }
        QVERIFY(manager->output().size() <= 2048);
        // What is left is exactly the newest text, and an observer following the signal knows it.
        QCOMPARE(manager->output(), everything.mid(dropped));
        manager->outputHandler()(u"late\n"_s);
        manager.reset();
        QTRY_VERIFY(log.lines().contains(u"🔧 CorvaltManager output is now: nil"_s));
    }
};

QTEST_GUILESS_MAIN(TestManagerOutput)
#include "tst_manager_output.moc"
