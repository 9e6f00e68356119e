#include "app/single_instance.h"
#include "tests/support/test_sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <future>

// One instance per user: the second asks the first for its window; a crashed holder's lock and
// socket do not block the next launch.
class TestSingleInstance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void firstClaimsSecondAsksForTheWindow();
    void crashedHoldersLockIsTakenOver();
    void lockHeldByAnotherLiveProgramIsRespected();
    void strangersOnTheSocketAreIgnored();
    void nameDependsOnTheHome();

private:
    // The second launch runs its blocking request on another thread while this one serves.
    static bool askFromAnotherThread(SingleInstance& asker);
    QString lockPath() const { return m_runtime->filePath(m_name + QStringLiteral(".lock")); }

    std::unique_ptr<QTemporaryDir> m_runtime;
    QByteArray m_savedRuntime;
    QString m_name;
};

void TestSingleInstance::init()
{
    m_runtime = std::make_unique<QTemporaryDir>();
    QFile::setPermissions(m_runtime->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime->path()));
    m_name = QStringLiteral("instance-test");
}

void TestSingleInstance::cleanup()
{
    qputenv("XDG_RUNTIME_DIR", m_savedRuntime);
    m_runtime.reset();
}

bool TestSingleInstance::askFromAnotherThread(SingleInstance& asker)
{
    auto answer = std::async(std::launch::async, [&asker] { return asker.askRunningInstanceToShowWindow(); });
    while (answer.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        QCoreApplication::processEvents();
    }
    return answer.get();
}

void TestSingleInstance::firstClaimsSecondAsksForTheWindow()
{
    auto first = std::make_unique<SingleInstance>(m_name);
    QVERIFY(first->claim());
    QVERIFY2(first->errorString().isEmpty(), qPrintable(first->errorString()));
    QCOMPARE(first->socketPath(), m_runtime->filePath(m_name + QStringLiteral(".socket")));
    QSignalSpy requests(first.get(), &SingleInstance::showWindowRequested);

    SingleInstance second(m_name);
    QVERIFY(!second.claim());
    QVERIFY2(askFromAnotherThread(second), qPrintable(second.errorString()));
    QTRY_COMPARE(requests.size(), 1);

    // Once the first has gone, the next launch is the instance.
    first.reset();
    SingleInstance third(m_name);
    QVERIFY(third.claim());
    QVERIFY(third.errorString().isEmpty());
}

void TestSingleInstance::crashedHoldersLockIsTakenOver()
{
    // A holder that was killed leaves its lock file (with its dead pid) and its socket file.
    QProcess holder;
    holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    QVERIFY(holder.waitForStarted(5000));
    const qint64 deadPid = holder.processId();
    holder.kill();
    QVERIFY(holder.waitForFinished(5000));
    QFile lock(lockPath());
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(deadPid) + '\n' + QCoreApplication::applicationName().toUtf8() + "\n\n");
    lock.close();
    QFile socketFile(m_runtime->filePath(m_name + QStringLiteral(".socket")));
    QVERIFY(socketFile.open(QIODevice::WriteOnly));
    socketFile.close();

    SingleInstance next(m_name);
    QVERIFY(next.claim());
    QVERIFY2(next.errorString().isEmpty(), qPrintable(next.errorString()));
    QSignalSpy requests(&next, &SingleInstance::showWindowRequested);
    SingleInstance asker(m_name);
    QVERIFY(askFromAnotherThread(asker));
    QTRY_COMPARE(requests.size(), 1);
}

void TestSingleInstance::lockHeldByAnotherLiveProgramIsRespected()
{
    // A live holder of the lock that does not answer: the launch gives up and says why, rather
    // than starting a second instance.
    QLockFile other(lockPath());
    QVERIFY(other.tryLock(0));
    SingleInstance late(m_name);
    QVERIFY(!late.claim());
    QVERIFY(!askFromAnotherThread(late));
    QVERIFY2(late.errorString().startsWith(QStringLiteral("cannot reach ") + late.socketPath()),
             qPrintable(late.errorString()));
}

void TestSingleInstance::strangersOnTheSocketAreIgnored()
{
    SingleInstance first(m_name);
    QVERIFY(first.claim());
    QSignalSpy requests(&first, &SingleInstance::showWindowRequested);
    QLocalSocket stranger;
    stranger.connectToServer(first.socketPath());
    QVERIFY(stranger.waitForConnected(5000));
    stranger.write(QByteArray(100, 'x') + '\n');
    stranger.flush();
    QTRY_COMPARE(stranger.state(), QLocalSocket::UnconnectedState);
    QCOMPARE(requests.size(), 0);
}

void TestSingleInstance::nameDependsOnTheHome()
{
    QString firstName;
    {
        const TestSandbox sandbox(QStringLiteral("one"));
        firstName = SingleInstance::nameForThisUser();
        QCOMPARE(SingleInstance::nameForThisUser(), firstName);
    }
    const TestSandbox sandbox(QStringLiteral("two"));
    const QString secondName = SingleInstance::nameForThisUser();
    QVERIFY(firstName.startsWith(QStringLiteral("corvalt-tray-")));
    QCOMPARE(firstName.size(), secondName.size());
    QVERIFY(firstName != secondName);
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_single_instance.moc"
