#include "platform/autostart_service.h"
#include "tests/support/test_sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTest>

// The freedesktop autostart entry as the start-at-login service: real files in a sandboxed
// configuration folder.
class TestAutostartService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void entryLivesInTheUsersAutostartFolder();
    void registerWritesAnEntryForThisProgram();
    void programPathsWithAnyCharacterAreOurs();
    void switchedOffEntriesAreNotEnabled_data();
    void switchedOffEntriesAreNotEnabled();
    void entriesForOtherProgramsAreNotOurs();
    void registerReplacesOurEntriesWhole();
    void otherProgramsEntryIsLeftAlone();
    void unregisterRemovesTheEntry();
    void failuresNameThePathAndTheReason();

private:
    static QString writeEntry(const QString& path, const QByteArray& text);
    static QString program() { return QCoreApplication::applicationFilePath(); }
};

QString TestAutostartService::writeEntry(const QString& path, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return {};
    }
    file.write(text);
    return path;
}

void TestAutostartService::entryLivesInTheUsersAutostartFolder()
{
    const TestSandbox sandbox;
    QCOMPARE(AutostartService::forThisProgram().entryPath(),
             sandbox.home() + QStringLiteral("/.config/autostart/corvalt-tray.desktop"));
    QCOMPARE(AutostartService::forThisProgram().programPath(), program());

    // Without XDG_CONFIG_HOME the folder is ~/.config/autostart.
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qunsetenv("XDG_CONFIG_HOME");
    const QString unsetPath = AutostartService::forThisProgram().entryPath();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(sandbox.root() + QStringLiteral("/elsewhere")));
    const QString otherPath = AutostartService::forThisProgram().entryPath();
    qputenv("XDG_CONFIG_HOME", saved);
    QCOMPARE(unsetPath, sandbox.home() + QStringLiteral("/.config/autostart/corvalt-tray.desktop"));
    QCOMPARE(otherPath, sandbox.root() + QStringLiteral("/elsewhere/autostart/corvalt-tray.desktop"));
}

void TestAutostartService::registerWritesAnEntryForThisProgram()
{
    const TestSandbox sandbox;
    AutostartService service = AutostartService::forThisProgram();
    QCOMPARE(service.status(), AutostartService::Status::NotRegistered);
    QVERIFY2(service.registerProgram(), qPrintable(service.errorString()));
    QCOMPARE(service.status(), AutostartService::Status::Enabled);

    QFile file(service.entryPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll()),
             QStringLiteral("[Desktop Entry]\n"
                            "Type=Application\n"
                            "Name=Corvalt\n"
                            "Comment=Keeps the Corvalt command-line tool installed and running\n"
                            "Exec=\"%1\"\n"
                            "Icon=corvalt-tray\n"
                            "Terminal=false\n"
                            "X-GNOME-Autostart-enabled=true\n"
                            "X-Corvalt-Tray=true\n")
                 .arg(program()));
}

void TestAutostartService::programPathsWithAnyCharacterAreOurs()
{
    const TestSandbox sandbox;
    const QString folder = sandbox.root() + QStringLiteral("/My \"Apps\" $HOME 100% a\\b `x`");
    const QString hostile = folder + QStringLiteral("/tray app");
    TestSandbox::writeScript(hostile, "exit 0\n");
    const QString entry = sandbox.root() + QStringLiteral("/autostart/corvalt-tray.desktop");

    AutostartService service(entry, hostile);
    QVERIFY2(service.registerProgram(), qPrintable(service.errorString()));
    QCOMPARE(service.status(), AutostartService::Status::Enabled);
    // A copy of the program elsewhere sees the entry as one that does not start it.
    QCOMPARE(AutostartService(entry, program()).status(), AutostartService::Status::ForAnotherCopy);

    // A link to the program names the same file.
    QVERIFY(QFile::link(folder, sandbox.root() + QStringLiteral("/link")));
    QCOMPARE(AutostartService(entry, sandbox.root() + QStringLiteral("/link/tray app")).status(),
             AutostartService::Status::Enabled);
}

void TestAutostartService::switchedOffEntriesAreNotEnabled_data()
{
    QTest::addColumn<QByteArray>("extraLine");
    QTest::addColumn<AutostartService::Status>("status");
    QTest::newRow("Hidden=true") << QByteArray("Hidden=true\n") << AutostartService::Status::SwitchedOff;
    QTest::newRow("GNOME switch off") << QByteArray("X-GNOME-Autostart-enabled=false\n")
                                      << AutostartService::Status::SwitchedOff;
    QTest::newRow("Hidden=false") << QByteArray("Hidden=false\n") << AutostartService::Status::Enabled;
    QTest::newRow("GNOME switch on") << QByteArray("X-GNOME-Autostart-enabled=true\n")
                                     << AutostartService::Status::Enabled;
}

void TestAutostartService::switchedOffEntriesAreNotEnabled()
{
    QFETCH(QByteArray, extraLine);
    QFETCH(AutostartService::Status, status);
    const TestSandbox sandbox;
    const AutostartService service = AutostartService::forThisProgram();
    writeEntry(service.entryPath(),
               "[Desktop Entry]\nType=Application\nExec=" + QFile::encodeName(program()) + "\n" + extraLine);
    QCOMPARE(service.status(), status);
}

void TestAutostartService::entriesForOtherProgramsAreNotOurs()
{
    const TestSandbox sandbox;
    const AutostartService service = AutostartService::forThisProgram();
    writeEntry(service.entryPath(), "[Desktop Entry]\nType=Application\nExec=/usr/bin/true\n");
    QCOMPARE(service.status(), AutostartService::Status::NotOurs);
    // A program that has moved away leaves an entry that is no longer ours.
    writeEntry(service.entryPath(), "[Desktop Entry]\nExec=\"" + QFile::encodeName(sandbox.root()) + "/gone/tray\"\n");
    QCOMPARE(service.status(), AutostartService::Status::NotOurs);
    writeEntry(service.entryPath(), "Exec=" + QFile::encodeName(program()) + "\n");
    QCOMPARE(service.status(), AutostartService::Status::NotOurs);
    writeEntry(service.entryPath(), "[Desktop Entry]\nType=Application\n");
    QCOMPARE(service.status(), AutostartService::Status::NotOurs);
    QFile::remove(service.entryPath());
    QDir().mkpath(service.entryPath());
    QCOMPARE(service.status(), AutostartService::Status::NotOurs);
}

void TestAutostartService::registerReplacesOurEntriesWhole()
{
    const TestSandbox sandbox;
    AutostartService service = AutostartService::forThisProgram();
    const QString folder = QFileInfo(service.entryPath()).absolutePath();

    // Switched off in the desktop's settings.
    writeEntry(service.entryPath(), "[Desktop Entry]\nExec=" + QFile::encodeName(program()) + "\nHidden=true\n");
    QVERIFY(service.registerProgram());
    QCOMPARE(service.status(), AutostartService::Status::Enabled);

    // Written by a copy of the program that has moved since.
    writeEntry(service.entryPath(),
               "[Desktop Entry]\nExec=\"" + QFile::encodeName(sandbox.root()) + "/old/tray\"\nX-Corvalt-Tray=true\n");
    QCOMPARE(service.status(), AutostartService::Status::ForAnotherCopy);
    QVERIFY(service.registerProgram());
    QCOMPARE(service.status(), AutostartService::Status::Enabled);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("corvalt-tray.desktop")});
}

void TestAutostartService::otherProgramsEntryIsLeftAlone()
{
    const TestSandbox sandbox;
    AutostartService service = AutostartService::forThisProgram();
    const QByteArray foreign = "[Desktop Entry]\nType=Application\nExec=/usr/bin/true --keep\n";
    writeEntry(service.entryPath(), foreign);
    QCOMPARE(service.status(), AutostartService::Status::NotOurs);

    QVERIFY(!service.registerProgram());
    QCOMPARE(service.errorString(),
             QStringLiteral("cannot write %1: another program's entry is there").arg(service.entryPath()));
    QVERIFY(!service.unregisterProgram());
    QCOMPARE(service.errorString(),
             QStringLiteral("cannot remove %1: another program's entry is there").arg(service.entryPath()));
    QFile file(service.entryPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), foreign);
}

void TestAutostartService::unregisterRemovesTheEntry()
{
    const TestSandbox sandbox;
    AutostartService service = AutostartService::forThisProgram();
    QVERIFY(service.registerProgram());
    QVERIFY(service.unregisterProgram());
    QVERIFY(!QFileInfo::exists(service.entryPath()));
    QCOMPARE(service.status(), AutostartService::Status::NotRegistered);
    // Already gone counts as done.
    QVERIFY(service.unregisterProgram());
    QVERIFY(service.errorString().isEmpty());
}

void TestAutostartService::failuresNameThePathAndTheReason()
{
    const TestSandbox sandbox;
    AutostartService service = AutostartService::forThisProgram();
    const QString folder = QFileInfo(service.entryPath()).absolutePath();

    // A file where the folder should be: no user, root included, can write through it.
    writeEntry(folder, "not a folder\n");
    QVERIFY(!service.registerProgram());
    QCOMPARE(service.errorString(), QStringLiteral("cannot create the folder %1: Not a directory").arg(folder));
    QCOMPARE(service.status(), AutostartService::Status::NotRegistered);

    // A folder where the entry should be.
    QFile::remove(folder);
    QDir().mkpath(service.entryPath() + QStringLiteral("/inside"));
    QVERIFY(!service.registerProgram());
    QVERIFY2(service.errorString().startsWith(QStringLiteral("cannot write %1: ").arg(service.entryPath())),
             qPrintable(service.errorString()));
    QVERIFY(!service.unregisterProgram());
    QVERIFY2(service.errorString().startsWith(QStringLiteral("cannot remove %1: ").arg(service.entryPath())),
             qPrintable(service.errorString()));

    // A later success clears the error.
    QDir(service.entryPath()).removeRecursively();
    QVERIFY(service.registerProgram());
    QVERIFY(service.errorString().isEmpty());
}

QTEST_GUILESS_MAIN(TestAutostartService)
#include "tst_autostart_service.moc"
