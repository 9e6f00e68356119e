#include "loginitem/login_item_manager.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

// The start-at-login switch over a real autostart entry and a real settings file.
class TestLoginItemManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void firstLaunchEnablesStartAtLogin();
    void firstLaunchWithAFailingServiceStillSetsTheFlag();
    void laterLaunchKeepsTheUsersChoice();
    void firstLaunchLeavesAnotherProgramsEntryAlone();
    void toggleTwiceReturnsToTheStart();
    void toggleAsksTheEntryNotTheField();
    void failedToggleKeepsTheField();
    void unsavedFlagIsReported();
    void sharedUsesTheUsersFolders();

private:
    static const QString EnabledByDefault;
    static const QString FirstLaunch;
    static LoginItemManager* make(const TestSandbox& sandbox);
    static QString entryPath(const TestSandbox& sandbox)
    {
        return sandbox.home() + QStringLiteral("/.config/autostart/corvalt-tray.desktop");
    }
    static QString settingsPath(const TestSandbox& sandbox)
    {
        return sandbox.home() + QStringLiteral("/.config/Corvalt/corvalt-tray.conf");
    }
    static bool storedFlag(const TestSandbox& sandbox)
    {
        return QSettings(settingsPath(sandbox), QSettings::IniFormat)
            .value(QStringLiteral("hasEnabledLoginItem"))
            .toBool();
    }
    static void blockAutostartFolder(const TestSandbox& sandbox);
};

const QString TestLoginItemManager::FirstLaunch =
    QStringLiteral("🚀 First launch detected, enabling login item by default");
const QString TestLoginItemManager::EnabledByDefault =
    QStringLiteral("🔧 Login item enabled by default using SMAppService");

LoginItemManager* TestLoginItemManager::make(const TestSandbox& sandbox)
{
    return new LoginItemManager(AutostartService(entryPath(sandbox), QCoreApplication::applicationFilePath()),
                                UserDefaults(settingsPath(sandbox)));
}

void TestLoginItemManager::blockAutostartFolder(const TestSandbox& sandbox)
{
    // A file where the folder belongs stops every user, root included.
    QDir().mkpath(sandbox.home() + QStringLiteral("/.config"));
    QFile file(sandbox.home() + QStringLiteral("/.config/autostart"));
    QVERIFY(file.open(QIODevice::WriteOnly));
}

void TestLoginItemManager::firstLaunchEnablesStartAtLogin()
{
    const TestSandbox sandbox;
    const LogCapture log;
    const std::unique_ptr<LoginItemManager> manager(make(sandbox));
    QCOMPARE(log.lines(), (QStringList{FirstLaunch, EnabledByDefault}));
    QVERIFY(manager->isEnabled());
    QVERIFY(storedFlag(sandbox));
    QVERIFY(QFileInfo(entryPath(sandbox)).isFile());
}

void TestLoginItemManager::firstLaunchWithAFailingServiceStillSetsTheFlag()
{
    const TestSandbox sandbox;
    blockAutostartFolder(sandbox);
    {
        const LogCapture log;
        const std::unique_ptr<LoginItemManager> manager(make(sandbox));
        QCOMPARE(log.lines(),
                 (QStringList{FirstLaunch,
                              QStringLiteral("❌ Failed to enable login item by default: cannot create the folder "
                                             "%1/.config/autostart: Not a directory")
                                  .arg(sandbox.home())}));
        QVERIFY(!manager->isEnabled());
        QVERIFY(storedFlag(sandbox));
    }
    // No retry at the next launch, even once the service works.
    QFile::remove(sandbox.home() + QStringLiteral("/.config/autostart"));
    const LogCapture log;
    const std::unique_ptr<LoginItemManager> manager(make(sandbox));
    QVERIFY(log.lines().isEmpty());
    QVERIFY(!manager->isEnabled());
    QVERIFY(!QFileInfo::exists(entryPath(sandbox)));
}

void TestLoginItemManager::laterLaunchKeepsTheUsersChoice()
{
    const TestSandbox sandbox;
    {
        const std::unique_ptr<LoginItemManager> first(make(sandbox));
        QVERIFY(first->isEnabled());
        first->toggleLoginItem();
        QVERIFY(!first->isEnabled());
    }
    const LogCapture log;
    const std::unique_ptr<LoginItemManager> later(make(sandbox));
    QVERIFY(log.lines().isEmpty());
    QVERIFY(!later->isEnabled());
    QVERIFY(!QFileInfo::exists(entryPath(sandbox)));

    // And one who left it on finds it on.
    later->toggleLoginItem();
    const std::unique_ptr<LoginItemManager> third(make(sandbox));
    QVERIFY(third->isEnabled());
}

void TestLoginItemManager::firstLaunchLeavesAnotherProgramsEntryAlone()
{
    const TestSandbox sandbox;
    const QByteArray foreign = "[Desktop Entry]\nType=Application\nName=Someone else\nExec=/usr/bin/true\n";
    QDir().mkpath(QFileInfo(entryPath(sandbox)).absolutePath());
    QFile entry(entryPath(sandbox));
    QVERIFY(entry.open(QIODevice::WriteOnly));
    entry.write(foreign);
    entry.close();

    const LogCapture log;
    const std::unique_ptr<LoginItemManager> manager(make(sandbox));
    QCOMPARE(log.lines(),
             (QStringList{FirstLaunch,
                          QStringLiteral("❌ Failed to enable login item by default: cannot write %1: another "
                                         "program's entry is there")
                              .arg(entryPath(sandbox))}));
    QVERIFY(!manager->isEnabled());
    QVERIFY(storedFlag(sandbox));
    QVERIFY(entry.open(QIODevice::ReadOnly));
    QCOMPARE(entry.readAll(), foreign);
}

void TestLoginItemManager::toggleTwiceReturnsToTheStart()
{
    const TestSandbox sandbox;
    const std::unique_ptr<LoginItemManager> manager(make(sandbox));
    QSignalSpy changes(manager.get(), &LoginItemManager::isEnabledChanged);
    const LogCapture log;

    manager->toggleLoginItem();
    QVERIFY(!manager->isEnabled());
    QVERIFY(!QFileInfo::exists(entryPath(sandbox)));
    manager->toggleLoginItem();
    QVERIFY(manager->isEnabled());
    QVERIFY(QFileInfo(entryPath(sandbox)).isFile());

    QCOMPARE(log.lines(),
             (QStringList{QStringLiteral("🔧 Login item disabled using SMAppService"),
                          QStringLiteral("🔧 Login item enabled using SMAppService")}));
    QCOMPARE(changes.size(), 2);
    QCOMPARE(changes.at(0).at(0).toBool(), false);
    QCOMPARE(changes.at(1).at(0).toBool(), true);
    // The toggle leaves the first-launch flag alone.
    QVERIFY(storedFlag(sandbox));
}

void TestLoginItemManager::toggleAsksTheEntryNotTheField()
{
    const TestSandbox sandbox;
    const std::unique_ptr<LoginItemManager> manager(make(sandbox));
    QVERIFY(manager->isEnabled());

    // Switched off in the desktop's settings while the field still says on: the toggle turns it
    // back on rather than off.
    QFile entry(entryPath(sandbox));
    QVERIFY(entry.open(QIODevice::Append));
    entry.write("Hidden=true\n");
    entry.close();
    const LogCapture log;
    manager->toggleLoginItem();
    QCOMPARE(log.lines(), QStringList{QStringLiteral("🔧 Login item enabled using SMAppService")});
    QVERIFY(manager->isEnabled());
    QCOMPARE(AutostartService(entryPath(sandbox), QCoreApplication::applicationFilePath()).status(),
             AutostartService::Status::Enabled);

    // Removed elsewhere: the same.
    QFile::remove(entryPath(sandbox));
    manager->toggleLoginItem();
    QVERIFY(manager->isEnabled());
    QVERIFY(QFileInfo(entryPath(sandbox)).isFile());
}

void TestLoginItemManager::failedToggleKeepsTheField()
{
    const TestSandbox sandbox;
    const std::unique_ptr<LoginItemManager> manager(make(sandbox));
    manager->toggleLoginItem();
    QVERIFY(!manager->isEnabled());
    QDir(sandbox.home() + QStringLiteral("/.config/autostart")).removeRecursively();
    blockAutostartFolder(sandbox);

    QSignalSpy changes(manager.get(), &LoginItemManager::isEnabledChanged);
    const LogCapture log;
    manager->toggleLoginItem();
    QCOMPARE(log.lines(),
             QStringList{QStringLiteral("❌ Failed to toggle login item: cannot create the folder "
                                        "%1/.config/autostart: Not a directory")
                             .arg(sandbox.home())});
    QVERIFY(!manager->isEnabled());
    QCOMPARE(changes.size(), 0);
}

void TestLoginItemManager::unsavedFlagIsReported()
{
    const TestSandbox sandbox;
    // A file where the settings folder belongs.
    QDir().mkpath(sandbox.home() + QStringLiteral("/.config"));
    QFile blocker(sandbox.home() + QStringLiteral("/.config/Corvalt"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    const LogCapture log;
    const std::unique_ptr<LoginItemManager> manager(make(sandbox));
    QCOMPARE(log.lines(),
             (QStringList{FirstLaunch,
                          EnabledByDefault,
                          QStringLiteral("⚠️ Could not save hasEnabledLoginItem in ") + settingsPath(sandbox)}));
    QVERIFY(manager->isEnabled());
}

void TestLoginItemManager::sharedUsesTheUsersFolders()
{
    const TestSandbox sandbox;
    const LogCapture log;
    LoginItemManager& shared = LoginItemManager::shared();
    QCOMPARE(&LoginItemManager::shared(), &shared);
    QCOMPARE(shared.parent(), QCoreApplication::instance());
    QCOMPARE(log.lines(), (QStringList{FirstLaunch, EnabledByDefault}));
    QVERIFY(shared.isEnabled());
    QVERIFY(storedFlag(sandbox));
    QCOMPARE(AutostartService(entryPath(sandbox), QCoreApplication::applicationFilePath()).status(),
             AutostartService::Status::Enabled);
}

QTEST_GUILESS_MAIN(TestLoginItemManager)
#include "tst_login_item_manager.moc"
