#include "loginitem/login_item_manager.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

const QString FirstLaunch = QStringLiteral("🚀 First launch detected, enabling login item by default");
const QString EnabledByDefault = QStringLiteral("🔧 Login item enabled by default using SMAppService");
const QString DefaultFailed = QStringLiteral("❌ Failed to enable login item by default: ");
const QString Disabled = QStringLiteral("🔧 Login item disabled using SMAppService");
const QString Enabled = QStringLiteral("🔧 Login item enabled using SMAppService");
const QString ToggleFailed = QStringLiteral("❌ Failed to toggle login item: ");
const QString Unsaved = QStringLiteral("⚠️ Could not save hasEnabledLoginItem in ");
const QString Entry = QStringLiteral("autostart/corvalt-tray.desktop");
const QString Settings = QStringLiteral("Corvalt/corvalt-tray.conf");
const QByteArray Foreign = "[Desktop Entry]\nType=Application\nExec=/usr/bin/true --keep\n";

// Start at login over the real autostart folder and settings file of a sandboxed home; each
// launch is a new manager, as at a program start.
class TestStartAtLogin : public QObject
{
    Q_OBJECT

    static QString path(const QString& name) { return QDir(qEnvironmentVariable("XDG_CONFIG_HOME")).filePath(name); }
    static auto launch(const QString& program = QCoreApplication::applicationFilePath())
    {
        return std::make_unique<LoginItemManager>(AutostartService(path(Entry), program), UserDefaults::standard());
    }
    static QByteArray ourExec() { return "Exec=" + QFile::encodeName(QCoreApplication::applicationFilePath()) + '\n'; }
    static bool remembered() { return read(Settings).contains("\nhasEnabledLoginItem=true\n"); }
    static QByteArray read(const QString& name)
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Whatever is there goes first; no content leaves nothing.
    static void place(const QString& name, const QByteArray& content)
    {
        QFile::remove(path(name)) || QDir(path(name)).removeRecursively();
        QDir().mkpath(QFileInfo(path(name)).absolutePath());
        QFile file(path(name));
        QVERIFY(content.isNull() || (file.open(QIODevice::WriteOnly) && file.write(content) == content.size()));
    }
    // Lines expected to end in a blank are followed by the system's reason.
    static bool matches(QStringList lines, const QStringList& expected)
    {
        for (qsizetype i = 0; i < qMin(lines.size(), expected.size()); ++i) {
            lines[i].truncate(expected[i].endsWith(u' ') ? expected[i].size() : lines[i].size());
        }
        return lines == expected;
    }
    // Ended on return, also when stuck; the tool's complaints go to the test's output.
    static bool runs(const QStringList& command)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(command.first(), command.mid(1));
        return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit && !process.exitCode();
    }

private Q_SLOTS:
    void launches_data()
    {
        QTest::addColumn<QString>("placed");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("lines");
        const QStringList failed{FirstLaunch, DefaultFailed}, working{FirstLaunch, EnabledByDefault};
        QTest::newRow("working service") << "nothing" << QByteArray() << working;
        QTest::newRow("autostart folder blocked") << "autostart" << QByteArray("x") << failed;
        QTest::newRow("another program's entry") << Entry << Foreign << failed;
        QTest::newRow("our Exec outside the entry group") << Entry << ourExec() + "[Desktop Entry]\n" << failed;
        QTest::newRow("folder in the entry's place") << Entry + "/x" << QByteArray("x") << failed;
        QTest::newRow("moved copy's entry")
            << Entry << QByteArray("[Desktop Entry]\nExec=/gone\nX-Corvalt-Tray=true") << working;
        QTest::newRow("settings of binary junk")
            << Settings << QByteArray("\0\xff\xfe[\x80\x01]\n=\xc3(\x9f\\", 13).repeated(300) << working;
        // Nothing can be remembered: a third line names the file.
        QTest::newRow("folder in the settings' place")
            << Settings + "/x" << QByteArray("x") << working + QStringList{Unsaved};
    }

    void launches()
    {
        QFETCH(QString, placed);
        QFETCH(QByteArray, content);
        QFETCH(QStringList, lines);
        const bool enabled = lines.contains(EnabledByDefault);
        const TestSandbox sandbox;
        place(placed, content);
        const LogCapture log;
        const auto first = launch();
        QVERIFY(matches(log.lines(), lines));
        QCOMPARE(first->isEnabled(), enabled);
        QVERIFY(enabled || read(placed) == content);
        QCOMPARE(remembered(), lines.size() == 2);
        if (!remembered()) {
            return;
        }
        if (enabled) {
            first->toggleLoginItem(); // the user switches it off
        }
        // The next launch keeps the user's choice and a failed default, and says nothing.
        const qsizetype said = log.lines().size();
        QVERIFY(!launch()->isEnabled());
        QCOMPARE(log.lines().size(), said);
        QVERIFY(!enabled || !QFileInfo::exists(path(Entry)));
    }

    void toggles_data()
    {
        QTest::addColumn<QString>("placed");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("twice") << "nothing" << QByteArray() << QStringList{Disabled, Enabled};
        QTest::newRow("entry removed outside") << Entry << QByteArray() << QStringList{Enabled};
        QTest::newRow("switched off outside") << Entry << "[Desktop Entry]\n" + ourExec() + "Hidden=true\n"
                                              << QStringList{Enabled, Disabled};
        QTest::newRow("switched off in GNOME's settings")
            << Entry << "[Desktop Entry]\n" + ourExec() + "X-GNOME-Autostart-enabled=false\n"
            << QStringList{Enabled};
        QTest::newRow("another program's entry") << Entry << Foreign << QStringList{ToggleFailed};
        QTest::newRow("autostart folder blocked") << "autostart" << QByteArray("x") << QStringList{ToggleFailed};
    }

    void toggles()
    {
        QFETCH(QString, placed);
        QFETCH(QByteArray, content);
        QFETCH(QStringList, lines);
        const TestSandbox sandbox;
        const auto manager = launch();
        place(placed, content); // behind the manager's back
        QSignalSpy changes(manager.get(), &LoginItemManager::isEnabledChanged);
        const LogCapture log;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            manager->toggleLoginItem();
        }
        // A failed toggle leaves the field as it was; a done one mirrors the entry, and says so.
        const qsizetype done = lines.size() - lines.count(ToggleFailed);
        QCOMPARE(changes.size(), done);
        QCOMPARE(manager->isEnabled(), done == 0 || QFileInfo::exists(path(Entry)));
        QVERIFY(matches(log.lines(), lines));
        QVERIFY(remembered());
        // Another program's entry is not removed either.
        QVERIFY(content != Foreign || !AutostartService(path(Entry), qApp->applicationFilePath()).unregisterProgram());
        QVERIFY(content != Foreign || read(Entry) == Foreign);
    }

    void entryStartsProgramAtOddPath_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("blanks, tab, line break") << " My  Apps\tand\nmore ";
        QTest::newRow("quotes, dollar, backtick, backslash") << "\"a\" 'b' $HOME ${x} `id` c\\d\\\\e\\";
        QTest::newRow("non-ASCII") << "zoë/программы/トレイ";
        QTest::newRow("percent") << "100% %U %%f";
    }

    void entryStartsProgramAtOddPath()
    {
        QFETCH(QString, folder);
        const TestSandbox sandbox;
        const QString program = sandbox.root() + u'/' + folder + "/tray app";
        TestSandbox::writeScript(program, "touch \"$0.ran\"\n");
        QVERIFY(launch(program)->isEnabled());
        // The freedesktop rules as desktop-file-utils holds them, then GLib's launcher (which cannot
        // start a path with a percent sign at all), kept off any real session bus.
        QVERIFY(runs({"desktop-file-validate", path(Entry)}));
        if (!folder.contains(u'%')) {
            const QString bus = "DBUS_SESSION_BUS_ADDRESS=unix:path=" + sandbox.root() + "/no-bus";
            QVERIFY(runs({"env", bus, "gio", "launch", path(Entry)}));
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(program + ".ran"), 20000);
        }
    }
};

QTEST_GUILESS_MAIN(TestStartAtLogin)
#include "tst_start_at_login.moc"
