#include "proc_table.h"
#include "program_log.h"
#include "program_run.h"
#include "program_sandbox.h"
#include "tests/support/https_test_server.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTest>

// What the user's folders may hold when the program starts: another program's autostart entry,
// a settings file it cannot read, a home whose path is full of shell syntax.
class TestProgramHostileInput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void foreignAutostartEntryIsLeftAlone();
    void unreadableSettingsDoNotStopTheLaunch_data();
    void unreadableSettingsDoNotStopTheLaunch();
    void homePathFullOfShellSyntax();

private:
    // Launches the program and waits for its tool to start and its window to open.
    std::unique_ptr<ProgramRun> launch(const ProgramSandbox& sandbox);
    static void quit(ProgramRun& run, const ProgramSandbox& sandbox);

    std::unique_ptr<HttpsTestServer> m_server;
};

namespace {

constexpr int Patience = 30000;

const QString FirstLaunch = QStringLiteral("🚀 First launch detected, enabling login item by default");
const QString EnabledByDefault = QStringLiteral("🔧 Login item enabled by default using SMAppService");

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

void TestProgramHostileInput::initTestCase()
{
    m_server = std::make_unique<HttpsTestServer>(QStringLiteral(TEST_CERT_DIR "/server"));
    m_server->setRoute("/static/cli/" + ProgramSandbox::AssetName.toUtf8(),
                       {200, ProgramSandbox::toolScript("trap 'exit 0' TERM\nwhile :; do sleep 1; done\n"), {}, {}});
    QVERIFY(m_server->listen());
}

std::unique_ptr<ProgramRun> TestProgramHostileInput::launch(const ProgramSandbox& sandbox)
{
    // The report of an earlier launch's tool must not pass for this one's.
    sandbox.forgetToolReport();
    auto run =
        std::make_unique<ProgramRun>(QStringLiteral(PLAIN_TRAY_UNDER_TEST), sandbox.environment(m_server->origin()));
    if (!run->start() || !run->waitUntil([&sandbox] { return sandbox.toolReport().has_value(); }, Patience) ||
        !run->waitForLine(QStringLiteral("🚀 Opening terminal window automatically"), Patience)) {
        qWarning("%s", qPrintable(run->lines().join(u'\n')));
        return nullptr;
    }
    return run;
}

void TestProgramHostileInput::quit(ProgramRun& run, const ProgramSandbox& sandbox)
{
    const auto tool = sandbox.toolReport();
    QVERIFY(tool && tool->group > 1);
    run.terminate();
    QVERIFY(run.waitForExit(Patience));
    QVERIFY(run.exitedNormally());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(ProgramLog::quitLines(run), ProgramLog::quitBySigterm(ProgramLog::Tool::Graceful));
    QCOMPARE(ProcTable::group(tool->group), QList<qint64>());
}

void TestProgramHostileInput::foreignAutostartEntryIsLeftAlone()
{
    ProgramSandbox sandbox;
    // Another program's entry under our entry's name, on what is otherwise a first launch.
    const QByteArray foreign = "[Desktop Entry]\nType=Application\nName=Someone else\nExec=/usr/bin/true --keep\n";
    QVERIFY(writeFile(sandbox.autostartEntryPath(), foreign));

    const auto run = launch(sandbox);
    QVERIFY(run);
    const qsizetype first = run->indexOf(FirstLaunch);
    QVERIFY(first >= 0);
    QVERIFY2(run->lines().value(first + 1).startsWith(QStringLiteral("❌ Failed to enable login item by default: ")),
             qPrintable(run->lines().value(first + 1)));
    QVERIFY(!run->hasLine(EnabledByDefault));
    quit(*run, sandbox);
    QCOMPARE(readFile(sandbox.autostartEntryPath()), foreign);
    // The default was offered once; a later launch leaves the entry to the user.
    QVERIFY(
        QSettings(sandbox.settingsPath(), QSettings::IniFormat).value(QStringLiteral("hasEnabledLoginItem")).toBool());

    const auto again = launch(sandbox);
    QVERIFY(again);
    QVERIFY(!again->hasLine(FirstLaunch));
    quit(*again, sandbox);
    QCOMPARE(readFile(sandbox.autostartEntryPath()), foreign);
}

void TestProgramHostileInput::unreadableSettingsDoNotStopTheLaunch_data()
{
    QTest::addColumn<bool>("folder");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("remembered");
    QByteArray junk;
    quint32 state = 12345;
    for (int i = 0; i < 4096; ++i) {
        state = state * 1103515245 + 12345;
        junk.append(char(state >> 24));
    }
    // Read as holding nothing of ours, and written anew.
    QTest::newRow("binary junk") << false << junk << true;
    // Neither readable nor writable: every launch is a first one, and says why.
    QTest::newRow("a folder at its path") << true << QByteArray() << false;
}

void TestProgramHostileInput::unreadableSettingsDoNotStopTheLaunch()
{
    QFETCH(bool, folder);
    QFETCH(QByteArray, content);
    QFETCH(bool, remembered);
    ProgramSandbox sandbox;
    if (folder) {
        QVERIFY(QDir().mkpath(sandbox.settingsPath()));
    } else {
        QVERIFY(writeFile(sandbox.settingsPath(), content));
    }
    QStringList firstLaunch{FirstLaunch, EnabledByDefault};
    if (!remembered) {
        firstLaunch.append(QStringLiteral("⚠️ Could not save hasEnabledLoginItem in ") + sandbox.settingsPath());
    }

    const auto run = launch(sandbox);
    QVERIFY(run);
    QCOMPARE(run->lines().mid(run->indexOf(FirstLaunch), firstLaunch.size()), firstLaunch);
    QVERIFY(run->hasLine(ProgramLog::output(QStringLiteral("✅ CLI started successfully in zsh"))));
    quit(*run, sandbox);

    const auto again = launch(sandbox);
    QVERIFY(again);
    QCOMPARE(again->hasLine(FirstLaunch), !remembered);
    quit(*again, sandbox);
}

void TestProgramHostileInput::homePathFullOfShellSyntax()
{
    ProgramSandbox sandbox(QStringLiteral("a b 'q' \"d\" $HOME `x` ; é ü"));
    const auto run = launch(sandbox);
    QVERIFY(run);
    QVERIFY(run->hasLine(ProgramLog::output(QStringLiteral("✅ CLI started successfully in zsh"))));
    QVERIFY(run->hasLine(EnabledByDefault));
    QVERIFY(QFileInfo(sandbox.autostartEntryPath()).isFile());
    quit(*run, sandbox);
    QVERIFY(
        QSettings(sandbox.settingsPath(), QSettings::IniFormat).value(QStringLiteral("hasEnabledLoginItem")).toBool());
}

QTEST_GUILESS_MAIN(TestProgramHostileInput)
#include "tst_program_hostile_input.moc"
