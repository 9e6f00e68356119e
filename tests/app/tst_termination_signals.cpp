#include "platform/termination_signals.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <unistd.h>

// Termination signals reach the event loop as a Qt signal, and the handlers go with the object.
class TestTerminationSignals : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void eachSignalArrivesByName_data();
    void eachSignalArrivesByName();
    void signalsInARowAllArrive();
    void ignoredHangupStaysIgnored();
    void previousActionsComeBack();
};

void TestTerminationSignals::eachSignalArrivesByName_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("name");
    QTest::newRow("SIGTERM") << SIGTERM << QStringLiteral("SIGTERM");
    QTest::newRow("SIGINT") << SIGINT << QStringLiteral("SIGINT");
    QTest::newRow("SIGHUP") << SIGHUP << QStringLiteral("SIGHUP");
}

void TestTerminationSignals::eachSignalArrivesByName()
{
    QFETCH(int, number);
    QFETCH(QString, name);
    const TerminationSignals signals;
    QVERIFY2(signals.isActive(), qPrintable(signals.errorString()));
    QSignalSpy received(&signals, &TerminationSignals::received);
    // Still alive afterwards: the default action (ending the process) was replaced.
    QCOMPARE(::kill(::getpid(), number), 0);
    QVERIFY(received.wait(5000));
    QCOMPARE(received.size(), 1);
    QCOMPARE(received.at(0).at(0).toString(), name);
}

void TestTerminationSignals::signalsInARowAllArrive()
{
    const TerminationSignals signals;
    QSignalSpy received(&signals, &TerminationSignals::received);
    ::kill(::getpid(), SIGHUP);
    ::kill(::getpid(), SIGTERM);
    QTRY_COMPARE(received.size(), 2);
    QCOMPARE(received.at(0).at(0).toString(), QStringLiteral("SIGHUP"));
    QCOMPARE(received.at(1).at(0).toString(), QStringLiteral("SIGTERM"));
}

void TestTerminationSignals::ignoredHangupStaysIgnored()
{
    // As under nohup.
    ::signal(SIGHUP, SIG_IGN);
    {
        const TerminationSignals signals;
        QSignalSpy received(&signals, &TerminationSignals::received);
        ::kill(::getpid(), SIGHUP);
        ::kill(::getpid(), SIGTERM);
        QTRY_COMPARE(received.size(), 1);
        QCOMPARE(received.at(0).at(0).toString(), QStringLiteral("SIGTERM"));
    }
    struct sigaction current = {};
    ::sigaction(SIGHUP, nullptr, &current);
    QVERIFY(current.sa_handler == SIG_IGN);
    ::signal(SIGHUP, SIG_DFL);
}

void TestTerminationSignals::previousActionsComeBack()
{
    struct sigaction before = {};
    ::sigaction(SIGTERM, nullptr, &before);
    {
        const TerminationSignals signals;
        struct sigaction during = {};
        ::sigaction(SIGTERM, nullptr, &during);
        QVERIFY(during.sa_handler != before.sa_handler);
    }
    struct sigaction after = {};
    ::sigaction(SIGTERM, nullptr, &after);
    QVERIFY(after.sa_handler == before.sa_handler);
    // And a new instance works after the last one went.
    const TerminationSignals again;
    QSignalSpy received(&again, &TerminationSignals::received);
    ::kill(::getpid(), SIGINT);
    QVERIFY(received.wait(5000));
}

QTEST_GUILESS_MAIN(TestTerminationSignals)
#include "tst_termination_signals.moc"
