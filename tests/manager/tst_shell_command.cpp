#include "manager/shell_command.h"
#include "tests/support/test_sandbox.h"

#include <QProcess>
#include <QTest>

// The command string and environment, checked by real shells running them.
class TestShellCommand : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hostilePathsRunLiterally_data();
    void hostilePathsRunLiterally();
    void environmentForcesColour();
};

void TestShellCommand::hostilePathsRunLiterally_data()
{
    QTest::addColumn<QString>("shell");
    QTest::addColumn<QString>("folder");
    for (const QString& shell : {QStringLiteral("/bin/zsh"), QStringLiteral("/bin/bash")}) {
        QTest::newRow(qPrintable(shell + QStringLiteral(" blanks"))) << shell << QStringLiteral("my tools");
        QTest::newRow(qPrintable(shell + QStringLiteral(" quotes"))) << shell << QStringLiteral("it's \"here\"");
        QTest::newRow(qPrintable(shell + QStringLiteral(" expansions")))
            << shell << QStringLiteral("$HOME `id` $(id) ; & | * ~ \\");
        QTest::newRow(qPrintable(shell + QStringLiteral(" non-ASCII"))) << shell << QStringLiteral("Jürgen Ωμέγα");
    }
}

void TestShellCommand::hostilePathsRunLiterally()
{
    QFETCH(QString, shell);
    QFETCH(QString, folder);
    TestSandbox sandbox;
    const QString tool = sandbox.root() + u'/' + folder + QStringLiteral("/tool");
    TestSandbox::writeScript(tool, "printf 'args:%s\\n' \"$*\"\n[ \"$1\" = --color=always ] && exit 1\nexit 0\n");

    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(shell, {QStringLiteral("-c"), ShellCommand::forTool(tool)});
    QVERIFY(process.waitForFinished(10000));
    // The colour run fails, so the plain run follows: both ran the very file at that path.
    QCOMPARE(QString::fromUtf8(process.readAll()), QStringLiteral("args:--color=always\nargs:\n"));
    QCOMPARE(process.exitCode(), 0);
}

void TestShellCommand::environmentForcesColour()
{
    QProcessEnvironment base;
    base.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    base.insert(QStringLiteral("TERM"), QStringLiteral("dumb"));
    base.insert(QStringLiteral("NO_COLOR"), QStringLiteral("1"));
    base.insert(QStringLiteral("ANSI_COLORS_DISABLED"), QStringLiteral("1"));
    base.insert(QStringLiteral("KEEP_ME"), QStringLiteral("yes"));

    const QProcessEnvironment environment = ShellCommand::environment(base);
    QCOMPARE(environment.value(QStringLiteral("TERM")), QStringLiteral("xterm-256color"));
    QCOMPARE(environment.value(QStringLiteral("COLORTERM")), QStringLiteral("truecolor"));
    QCOMPARE(environment.value(QStringLiteral("FORCE_COLOR")), QStringLiteral("1"));
    QCOMPARE(environment.value(QStringLiteral("CLICOLOR")), QStringLiteral("1"));
    QCOMPARE(environment.value(QStringLiteral("CLICOLOR_FORCE")), QStringLiteral("1"));
    QCOMPARE(environment.value(QStringLiteral("TERM_PROGRAM")), QStringLiteral("Corvalt Mac"));
    QCOMPARE(environment.value(QStringLiteral("KEEP_ME")), QStringLiteral("yes"));
    QVERIFY(!environment.contains(QStringLiteral("NO_COLOR")));
    QVERIFY(!environment.contains(QStringLiteral("ANSI_COLORS_DISABLED")));
    QCOMPARE(environment.keys().size(), 8);
}

QTEST_GUILESS_MAIN(TestShellCommand)
#include "tst_shell_command.moc"
