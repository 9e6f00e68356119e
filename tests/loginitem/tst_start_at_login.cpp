#include "loginitem/login_item_manager.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <memory>

// Start at login over the real autostart folder and settings file of a sandboxed home; each
// "launch" is a new manager, as at a program start.
namespace {

const QString FirstLaunch = QStringLiteral("🚀 First launch detected, enabling login item by default");
const QString EnabledByDefault = QStringLiteral("🔧 Login item enabled by default using SMAppService");
const QString DefaultFailed = QStringLiteral("❌ Failed to enable login item by default: ");
const QString Disabled = QStringLiteral("🔧 Login item disabled using SMAppService");
const QString Enabled = QStringLiteral("🔧 Login item enabled using SMAppService");
const QString ToggleFailed = QStringLiteral("❌ Failed to toggle login item: ");
const QString Entry = QStringLiteral("autostart/corvalt-tray.desktop");
const QString Settings = QStringLiteral("Corvalt/corvalt-tray.conf");
const QByteArray Foreign = "[Desktop Entry]\nType=Application\nExec=/usr/bin/true --keep\n";

QString configPath(const QString& name)
{
    return QDir(qEnvironmentVariable("XDG_CONFIG_HOME")).filePath(name);
}

std::unique_ptr<LoginItemManager> launch(const QString& program = QCoreApplication::applicationFilePath())
{
    return std::make_unique<LoginItemManager>(AutostartService(configPath(Entry), program), UserDefaults::standard());
}

// No content: a folder where a file belongs.
void place(const QString& name, const QByteArray& content)
{
    const QString path = configPath(name);
    QDir().mkpath(content.isNull() ? path : QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(content.isNull() || (file.open(QIODevice::WriteOnly) && file.write(content) == content.size()));
}

QByteArray snapshot(const QString& name)
{
    QFile file(configPath(name));
    return QFileInfo(file).isDir() ? QByteArray("<folder>") : file.open(QIODevice::ReadOnly) ? file.readAll() : "";
}

// An expected line ending in a blank is followed by the system's reason.
bool matches(const QStringList& lines, const QStringList& expected)
{
    return lines.size() == expected.size() &&
        std::equal(lines.cbegin(), lines.cend(), expected.cbegin(), [](const QString& line, const QString& want) {
               return want.endsWith(u' ') ? line.startsWith(want) && line.size() > want.size() : line == want;
           });
}

// Empty when the tool ran and succeeded, else what it said.
QByteArray failureOf(const QString& tool, const QStringList& arguments, const QProcessEnvironment& environment)
{
    QProcess process; // ended on destruction, also when stuck
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tool, arguments);
    if (!process.waitForFinished(20000)) {
        return tool.toUtf8() + " missing or stuck";
    }
    const bool succeeded = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return succeeded ? QByteArray() : tool.toUtf8() + ": " + process.readAll();
}

} // namespace

class TestStartAtLogin : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void launches_data();
    void launches();
    void toggles_data();
    void toggles();
    void entryStartsProgramAtOddPath_data();
    void entryStartsProgramAtOddPath();
};

void TestStartAtLogin::launches_data()
{
    QTest::addColumn<QString>("placed");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<bool>("remembered");
    const QStringList failed{FirstLaunch, DefaultFailed};
    const QStringList working{FirstLaunch, EnabledByDefault};
    QTest::newRow("working service") << QString() << QByteArray() << working << true << false << true;
    QTest::newRow("autostart folder blocked") << "autostart" << QByteArray("x") << failed << false << true << true;
    QTest::newRow("another program's entry") << Entry << Foreign << failed << false << true << true;
    QTest::newRow("our Exec outside the entry group")
        << Entry << "Exec=" + QFile::encodeName(QCoreApplication::applicationFilePath()) + "\n[Desktop Entry]\n"
        << failed << false << true << true;
    QTest::newRow("folder in the entry's place") << Entry << QByteArray() << failed << false << true << true;
    QTest::newRow("entry of a moved copy")
        << Entry << QByteArray("[Desktop Entry]\nExec=/gone/tray\nX-Corvalt-Tray=true\n") << working << true << false
        << true;
    QByteArray junk;
    for (int i = 0; i < 4096; ++i) {
        junk += char(i * 131 % 251);
    }
    QTest::newRow("settings of binary junk") << Settings << junk << working << true << false << true;
    QTest::newRow("folder in the settings' place")
        << Settings << QByteArray()
        << working + QStringList{QStringLiteral("⚠️ Could not save hasEnabledLoginItem in ")} << true << true
        << false;
}

void TestStartAtLogin::launches()
{
    QFETCH(QString, placed);
    QFETCH(QByteArray, content);
    QFETCH(QStringList, lines);
    QFETCH(bool, enabled);
    QFETCH(bool, kept);
    QFETCH(bool, remembered);
    const TestSandbox sandbox;
    if (!placed.isEmpty()) {
        place(placed, content);
    }
    const QByteArray before = snapshot(placed);
    {
        const LogCapture log;
        const auto first = launch();
        QVERIFY(matches(log.lines(), lines));
        QCOMPARE(first->isEnabled(), enabled);
        QVERIFY(!enabled || QFileInfo(configPath(Entry)).isFile());
        QCOMPARE(!placed.isEmpty() && snapshot(placed) == before, kept);
        QCOMPARE(snapshot(Settings).contains("\nhasEnabledLoginItem=true\n"), remembered);
        if (first->isEnabled()) {
            first->toggleLoginItem(); // the user switches it off
        }
    }
    if (!remembered) {
        return;
    }
    // The next launch leaves the user's choice, and a failed default, as they are.
    const QByteArray entryBefore = snapshot(Entry);
    const LogCapture log;
    QVERIFY(!launch()->isEnabled());
    QCOMPARE(log.lines(), QStringList());
    QCOMPARE(snapshot(Entry), entryBefore);
}

void TestStartAtLogin::toggles_data()
{
    QTest::addColumn<QByteArray>("outside");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("twice") << QByteArray() << QStringList{Disabled, Enabled};
    QTest::newRow("entry removed outside") << QByteArray("remove") << QStringList{Enabled};
    QTest::newRow("switched off outside") << QByteArray("Hidden=true\n") << QStringList{Enabled, Disabled};
    QTest::newRow("another program's entry") << Foreign << QStringList{ToggleFailed};
    QTest::newRow("autostart folder blocked") << QByteArray("block") << QStringList{ToggleFailed};
}

void TestStartAtLogin::toggles()
{
    QFETCH(QByteArray, outside);
    QFETCH(QStringList, lines);
    const TestSandbox sandbox;
    const auto manager = launch();
    QVERIFY(manager->isEnabled());
    QFile entry(configPath(Entry));
    // Changed behind the manager's back: removed, blocked, replaced or switched off.
    if (outside == "remove" || outside == "block") {
        QVERIFY(entry.remove());
    }
    if (outside == "block") {
        QVERIFY(QDir().rmdir(configPath(QStringLiteral("autostart"))));
        place(QStringLiteral("autostart"), "x");
    } else if (outside.startsWith('[')) {
        place(Entry, outside);
    } else if (outside.contains('=')) {
        QVERIFY(entry.open(QIODevice::Append) && entry.write(outside) == outside.size());
        entry.close();
    }
    const QByteArray before = snapshot(Entry);
    QSignalSpy changes(manager.get(), &LoginItemManager::isEnabledChanged);
    const LogCapture log;
    for (const QString& line : lines) {
        const bool wasEnabled = manager->isEnabled();
        const auto changesBefore = changes.size();
        manager->toggleLoginItem();
        const bool failed = line == ToggleFailed;
        QCOMPARE(manager->isEnabled(), failed ? wasEnabled : entry.exists());
        QCOMPARE(changes.size(), changesBefore + (failed ? 0 : 1));
    }
    QVERIFY(matches(log.lines(), lines));
    QVERIFY(snapshot(Settings).contains("\nhasEnabledLoginItem=true\n"));
    if (outside == Foreign) {
        QVERIFY(!AutostartService(configPath(Entry), QCoreApplication::applicationFilePath()).unregisterProgram());
        QCOMPARE(snapshot(Entry), before);
    }
}

void TestStartAtLogin::entryStartsProgramAtOddPath_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("blanks, tab, line break") << QStringLiteral(" My  Apps\tand\nmore ");
    QTest::newRow("quotes") << QStringLiteral("\"double\" 'single'");
    QTest::newRow("dollar") << QStringLiteral("$HOME ${x} $(id)");
    QTest::newRow("backtick") << QStringLiteral("`id` `");
    QTest::newRow("backslash") << QStringLiteral("a\\b\\\\c\\ \\");
    QTest::newRow("non-ASCII") << QStringLiteral("zoë/программы/トレイ");
    QTest::newRow("percent") << QStringLiteral("100% %U %%f");
}

void TestStartAtLogin::entryStartsProgramAtOddPath()
{
    QFETCH(QString, folder);
    const TestSandbox sandbox;
    const QString program = sandbox.root() + u'/' + folder + QStringLiteral("/tray app");
    TestSandbox::writeScript(program, "touch \"$0.ran\"\n");
    const auto manager = launch(program);
    QVERIFY(manager->isEnabled());

    // The freedesktop rules as desktop-file-utils checks them, then GLib's launcher (which cannot
    // start a path with a percent sign) kept off any real session bus.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), "unix:path=" + sandbox.root() + "/no-bus");
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    const QByteArray invalid = failureOf(QStringLiteral("desktop-file-validate"), {configPath(Entry)}, environment);
    QVERIFY2(invalid.isEmpty(), invalid.constData());
    if (!folder.contains(u'%')) {
        const QByteArray failed =
            failureOf(QStringLiteral("gio"), {QStringLiteral("launch"), configPath(Entry)}, environment);
        QVERIFY2(failed.isEmpty(), failed.constData());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(program + QStringLiteral(".ran")), 20000);
    }

    manager->toggleLoginItem();
    QVERIFY(!manager->isEnabled());
    QVERIFY(!QFileInfo::exists(configPath(Entry)));
}

QTEST_GUILESS_MAIN(TestStartAtLogin)
#include "tst_start_at_login.moc"
