#include "start_at_login/start_at_login.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_sandbox.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

const QString FirstLaunch = u"🚀 First launch detected, enabling login item by default"_s;
const QStringList Working{FirstLaunch, u"🔧 Login item enabled by default using SMAppService"_s};
const QStringList Failed{FirstLaunch, u"❌ Failed to enable login item by default: "_s};
const QStringList Unsaved{u"⚠️ Could not save hasEnabledLoginItem in "_s};
const QStringList Disabled{u"🔧 Login item disabled using SMAppService"_s};
const QStringList Enabled{u"🔧 Login item enabled using SMAppService"_s};
const QStringList ToggleFailed{u"❌ Failed to toggle login item: "_s};
const QString Entry = u"autostart/corvalt-tray.desktop"_s;
const QString SettingsFile = u"Corvalt/corvalt-tray.conf"_s;
const QByteArray Foreign = "[Desktop Entry]\nType=Application\nExec=/usr/bin/true --keep\n"_ba;
// The system's reason after a failure line, and the settings file's name, are cut off before comparing.
const QRegularExpression Reason(u"(: |LoginItem in ).*"_s);

// Start at login over the real autostart folder and settings file of a sandboxed home; each
// launch is a new switch, as at a program start.
class TestStartAtLogin : public QObject
{
    Q_OBJECT

    static QString path(const QString& name) { return QDir(qEnvironmentVariable("XDG_CONFIG_HOME")).filePath(name); }
    static auto launch(const QString& program = QCoreApplication::applicationFilePath())
    {
        return std::make_unique<StartAtLogin>(AutostartEntry(path(Entry), program), Settings::forThisUser());
    }
    static QByteArray ours(const QByteArray& rest)
    {
        return "[Desktop Entry]\nExec=" + qApp->applicationFilePath().toUtf8() + rest;
    }
    static QByteArray read(const QString& name)
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Whatever is there goes first; no content leaves nothing.
    static void place(const QString& name, const QByteArray& content)
    {
        if (!QFile::remove(path(name))) {
            QDir(path(name)).removeRecursively();
        }
        QFile file(path(name));
        QVERIFY(content.isNull() ||
                (QDir().mkpath(QFileInfo(file).path()) && file.open(QFile::WriteOnly) && file.write(content)));
    }
    // Ended by timeout(1) when stuck; the tool's complaints go to the test's output.
    static bool runs(const QStringList& command)
    {
        return QProcess::execute(u"timeout"_s, QStringList{u"20"_s} + command) == 0;
    }

private Q_SLOTS:
    // Rows that toggle place their content behind a running switch's back, the others before the
    // first launch; `lines` is the whole log of the launch and the toggles, and gives the switch's
    // final state.
    void startAtLogin_data()
    {
        QTest::addColumn<QString>("placed");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("lines");
        const QByteArray blocker = "x"_ba;
        const QByteArray none;
        QTest::newRow("working service") << "nothing" << none << Working;
        QTest::newRow("autostart folder blocked") << "autostart" << blocker << Failed;
        QTest::newRow("another program's entry") << Entry << Foreign << Failed;
        // Our Exec in a group of its own, followed by an empty entry group, does not make it ours.
        QTest::newRow("our Exec in another group")
            << Entry << ours("\n[Desktop Entry]\n").replace(0, 15, "[Other]") << Failed;
        QTest::newRow("folder in the entry's place") << Entry + "/x" << blocker << Failed;
        QTest::newRow("moved copy") << Entry << "[Desktop Entry]\nExec=/gone\nX-Corvalt-Tray=true"_ba << Working;
        QTest::newRow("junk settings") << SettingsFile << "\0\xff\xfe[\x80\x01]\n=\xc3(\x9f\\"_ba.repeated(300)
                                       << Working;
        QTest::newRow("folder in the settings' place") << SettingsFile + "/x" << blocker << Working + Unsaved;
        QTest::newRow("off by the user") << "nothing" << none << Working + Disabled;
        QTest::newRow("toggled twice") << "nothing" << none << Working + Disabled + Enabled;
        QTest::newRow("entry removed outside") << Entry << none << Working + Enabled;
        QTest::newRow("hidden outside") << Entry << ours("\nHidden=true") << Working + Enabled + Disabled;
        QTest::newRow("off in GNOME") << Entry << ours("\nX-GNOME-Autostart-enabled=false") << Working + Enabled;
        // A failed toggle leaves the switch as it was.
        QTest::newRow("toggle over another's entry") << Entry << Foreign << Working + ToggleFailed;
        QTest::newRow("toggle with autostart blocked") << "autostart" << blocker << Working + ToggleFailed;
    }

    void startAtLogin()
    {
        QFETCH(QString, placed);
        QFETCH(QByteArray, content);
        QFETCH(QStringList, lines);
        const qsizetype toggles = lines.size() - 2 - lines.count(Unsaved[0]);
        const qsizetype refused = lines.count(ToggleFailed[0]);
        const bool failed = refused || lines.contains(Failed[1]);
        const bool on = !lines.contains(Failed[1]) && lines.last() != Disabled[0];
        const TestSandbox sandbox;
        const LogCapture log;
        place(toggles ? u"unused"_s : placed, content);
        const auto startAtLogin = launch();
        place(toggles ? placed : u"unused"_s, content);
        QSignalSpy changes(startAtLogin.get(), &StartAtLogin::isEnabledChanged);
        for (qsizetype toggle = 0; toggle < toggles; ++toggle) {
            startAtLogin->toggle();
        }
        QCOMPARE(log.lines().replaceInStrings(Reason, u"\\1"_s), lines);
        QCOMPARE(startAtLogin->isEnabled(), on);
        QCOMPARE(changes.size(), toggles - refused);
        // A done change shows in the entry; another program's entry, or whatever was in the way, stays.
        QVERIFY(failed || QFileInfo::exists(path(Entry)) == on);
        QVERIFY(content != Foreign || !AutostartEntry(path(Entry), qApp->applicationFilePath()).remove());
        QVERIFY(!failed || read(placed) == content);
        QCOMPARE(read(SettingsFile).contains("\nhasEnabledLoginItem=true\n"), !lines.contains(Unsaved[0]));
        // The next launch keeps the user's choice and a failed default, and says nothing.
        const qsizetype said = log.lines().size();
        QCOMPARE(launch()->isEnabled(), on && !failed);
        QVERIFY(lines.contains(Unsaved[0]) || log.lines().size() == said);
    }

    void entryStartsProgramAtOddPath_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("odd") << u" My  Apps\tand\nmore /\"a\" 'b' $HOME ${x} `id` c\\d\\\\e\\/zoë/программы/トレイ"_s;
        QTest::newRow("percent") << u"100% %U %%f"_s;
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
            QVERIFY(runs({"env", "DBUS_SESSION_BUS_ADDRESS=unix:path=/no-bus", "gio", "launch", path(Entry)}));
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(program + ".ran"), 20000);
        }
    }
};

QTEST_GUILESS_MAIN(TestStartAtLogin)
#include "tst_start_at_login.moc"
