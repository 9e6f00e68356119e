#include "manager_test_support.h"
#include "tests/support/https_test_server.h"
#include "tests/support/log_capture.h"

#include <QProcess>
#include <QTest>

#include <sys/stat.h>

// Download and installation against a real HTTPS server on loopback.
class TestManagerInstall : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void freshInstallStartsTheTool();
    void updateReplacesTheTool();
    void otherItemsAtTheToolPathAreReplaced();
    void failedDownloadKeepsTheInstalledTool_data();
    void failedDownloadKeepsTheInstalledTool();
    void missingInstallDirectoryIsAnInstallError();
    void setupRunsSweepThenDownload();
    void fileSystemFaultsKeepTheInstalledTool_data();
    void fileSystemFaultsKeepTheInstalledTool();

private:
    static const QByteArray Tool;
    static QString path() { return QStringLiteral("/static/cli/tool-linux-amd64"); }
    static mode_t modeOf(const QString& file);
    // Lines only the log carries (never the output text, which the log also repeats).
    static const QStringList LogOnly;
    static QStringList strayFiles(const QString& directory);
};

const QByteArray TestManagerInstall::Tool = "#!/bin/sh\necho fresh-tool-ran\n";
const QStringList TestManagerInstall::LogOnly = {QStringLiteral("📥 installCLI"),
                                                 QStringLiteral("📥 Binary name"),
                                                 QStringLiteral("📥 Download URL"),
                                                 QStringLiteral("📥 Update mode"),
                                                 QStringLiteral("✅ CLI installed successfully"),
                                                 QStringLiteral("✅ CLI updated successfully"),
                                                 QStringLiteral("🗑️ Removing")};

void TestManagerInstall::init()
{
    ::umask(077); // the installed mode must not depend on the umask
}

mode_t TestManagerInstall::modeOf(const QString& file)
{
    struct stat status
    {
    };
    ::stat(QFile::encodeName(file).constData(), &status);
    return status.st_mode & 07777;
}

QStringList TestManagerInstall::strayFiles(const QString& directory)
{
    QStringList names = QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    names.removeAll(QStringLiteral("corvalt"));
    return names;
}

void TestManagerInstall::freshInstallStartsTheTool()
{
    TestSandbox sandbox;
    HttpsTestServer server(QStringLiteral(TEST_CERT_DIR "/server"));
    QVERIFY(server.listen());
    server.setRoute(path().toUtf8(), {200, Tool, HttpsTestServer::Behaviour::Normal, {}});
    CorvaltManager manager(sandboxConfig(sandbox, server.origin()));
    manager.createInstallDirectory();
    const QString url = server.origin() + path();

    const LogCapture log;
    manager.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(manager.output().contains(QStringLiteral("fresh-tool-ran\n")), 20000);

    QCOMPARE(readAll(sandbox.toolPath()), Tool);
    QCOMPARE(modeOf(sandbox.toolPath()), mode_t(0755));
    QVERIFY2(appearsInOrder(manager.output(),
                            {QStringLiteral("📥 Installing CLI from %1\n").arg(url),
                             QStringLiteral("✅ CLI installed at %1\n").arg(sandbox.toolPath()),
                             QStringLiteral("▶️ Starting corvalt CLI in zsh with color support...\n")}),
             qPrintable(manager.output()));
    QVERIFY(!manager.output().contains(QStringLiteral("🗑️")));
    QCOMPARE(log.linesStartingWith(LogOnly),
             (QStringList{QStringLiteral("📥 installCLI() called"),
                          QStringLiteral("📥 Binary name: tool-linux-amd64"),
                          QStringLiteral("📥 Download URL: ") + url,
                          QStringLiteral("📥 Update mode: false"),
                          QStringLiteral("✅ CLI installed successfully")}));
    QCOMPARE(strayFiles(sandbox.installDir()), QStringList());
    manager.cleanup();
}

void TestManagerInstall::updateReplacesTheTool()
{
    TestSandbox sandbox;
    TestSandbox::writeScript(sandbox.toolPath(), "echo old-tool\n");
    QFile(sandbox.toolPath()).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    HttpsTestServer server(QStringLiteral(TEST_CERT_DIR "/server"));
    QVERIFY(server.listen());
    server.setRoute(path().toUtf8(), {200, Tool, HttpsTestServer::Behaviour::Normal, {}});
    CorvaltManager manager(sandboxConfig(sandbox, server.origin()));
    const QString url = server.origin() + path();

    const LogCapture log;
    manager.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(manager.output().contains(QStringLiteral("fresh-tool-ran\n")), 20000);

    QCOMPARE(readAll(sandbox.toolPath()), Tool);
    QCOMPARE(modeOf(sandbox.toolPath()), mode_t(0755));
    QVERIFY2(appearsInOrder(manager.output(),
                            {QStringLiteral("🔄 Updating CLI to latest version from %1\n").arg(url),
                             QStringLiteral("🗑️ Removed existing CLI binary\n"),
                             QStringLiteral("✅ CLI updated to latest version at %1\n").arg(sandbox.toolPath())}),
             qPrintable(manager.output()));
    QCOMPARE(log.linesStartingWith(LogOnly).mid(3),
             (QStringList{QStringLiteral("📥 Update mode: true"),
                          QStringLiteral("🗑️ Removing existing binary at ") + sandbox.toolPath(),
                          QStringLiteral("✅ CLI updated successfully")}));
    manager.cleanup();
}

void TestManagerInstall::otherItemsAtTheToolPathAreReplaced()
{
    TestSandbox sandbox;
    // A directory, and a link to a file elsewhere that must itself stay untouched.
    QVERIFY(QDir().mkpath(sandbox.toolPath() + QStringLiteral("/nested")));
    const QString elsewhere = sandbox.root() + QStringLiteral("/elsewhere");
    TestSandbox::writeScript(elsewhere, "echo elsewhere\n");
    HttpsTestServer server(QStringLiteral(TEST_CERT_DIR "/server"));
    QVERIFY(server.listen());
    server.setRoute(path().toUtf8(), {200, Tool, HttpsTestServer::Behaviour::Normal, {}});
    CorvaltManager manager(sandboxConfig(sandbox, server.origin()));

    const LogCapture log;
    manager.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(manager.output().contains(QStringLiteral("fresh-tool-ran\n")), 20000);
    QVERIFY(QFileInfo(sandbox.toolPath()).isFile());
    QVERIFY(log.lines().contains(QStringLiteral("🗑️ Removing existing binary at ") + sandbox.toolPath()));
    QVERIFY(manager.output().contains(QStringLiteral("🗑️ Removed existing CLI binary\n")));
    manager.cleanup();

    QVERIFY(QFile::remove(sandbox.toolPath()));
    QVERIFY(QFile::link(elsewhere, sandbox.toolPath()));
    manager.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(manager.output().count(QStringLiteral("fresh-tool-ran\n")), 2, 20000);
    QVERIFY(!QFileInfo(sandbox.toolPath()).isSymLink());
    QCOMPARE(readAll(sandbox.toolPath()), Tool);
    QCOMPARE(readAll(elsewhere), QByteArray("#!/bin/sh\necho elsewhere\n"));
    manager.cleanup();
}

void TestManagerInstall::failedDownloadKeepsTheInstalledTool_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("plainRedirect");
    QTest::addColumn<bool>("refused");

    const QString good = QStringLiteral(TEST_CERT_DIR "/server");
    const int normal = int(HttpsTestServer::Behaviour::Normal);
    const QByteArray big(64 * 1024, 'x');
    QTest::newRow("404") << good << 404 << normal << QByteArray("missing\n") << false << false;
    QTest::newRow("500") << good << 500 << normal << QByteArray("oops\n") << false << false;
    QTest::newRow("truncated") << good << 200 << int(HttpsTestServer::Behaviour::Truncate) << big << false << false;
    QTest::newRow("reset") << good << 200 << int(HttpsTestServer::Behaviour::Reset) << big << false << false;
    QTest::newRow("stalled") << good << 200 << int(HttpsTestServer::Behaviour::StallMidBody) << big << false << false;
    QTest::newRow("no answer") << good << 200 << int(HttpsTestServer::Behaviour::NoAnswer) << big << false << false;
    QTest::newRow("untrusted certificate")
        << QStringLiteral(TEST_CERT_DIR "/untrusted") << 200 << normal << Tool << false << false;
    QTest::newRow("expired certificate") << QStringLiteral(TEST_CERT_DIR "/expired") << 200 << normal << Tool << false
                                         << false;
    QTest::newRow("certificate for another name")
        << QStringLiteral(TEST_CERT_DIR "/wrongname") << 200 << normal << Tool << false << false;
    QTest::newRow("redirect to plain http") << good << 302 << normal << QByteArray() << true << false;
    QTest::newRow("empty body") << good << 200 << normal << QByteArray() << false << false;
    QTest::newRow("too large") << good << 200 << normal << QByteArray(300 * 1024, 'x') << false << false;
    QTest::newRow("connection refused") << good << 200 << normal << Tool << false << true;
}

void TestManagerInstall::failedDownloadKeepsTheInstalledTool()
{
    QFETCH(QString, certificate);
    QFETCH(int, status);
    QFETCH(int, behaviour);
    QFETCH(QByteArray, body);
    QFETCH(bool, plainRedirect);
    QFETCH(bool, refused);

    TestSandbox sandbox;
    const QByteArray previous = "#!/bin/sh\necho previous-tool\n";
    TestSandbox::writeScript(sandbox.toolPath(), "echo previous-tool\n");
    HttpsTestServer server(certificate);
    QVERIFY(server.listen());
    HttpsTestServer::Route route{status, body, HttpsTestServer::Behaviour(behaviour), {}};
    if (plainRedirect) {
        route.location = QStringLiteral("http://127.0.0.1:%1%2").arg(server.port()).arg(path()).toUtf8();
    }
    server.setRoute(path().toUtf8(), route);
    ManagerConfig config = sandboxConfig(sandbox, server.origin());
    config.downloadStallTimeout = std::chrono::milliseconds(1500);
    config.maxDownloadBytes = 256 * 1024;
    if (refused) {
        HttpsTestServer closed(certificate);
        QVERIFY(closed.listen());
        config.baseUrl = QUrl(closed.origin() + QStringLiteral("/static/cli"));
    }
    CorvaltManager manager(config);

    const LogCapture log;
    manager.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(manager.output().contains(QStringLiteral("❌ Download error: ")), 20000);
    QTest::qWait(200);

    const QString output = manager.output();
    const qsizetype at = output.indexOf(QStringLiteral("❌ Download error: "));
    QVERIFY2(output.endsWith(u'\n') && output.indexOf(u'\n', at) == output.size() - 1, qPrintable(output));
    QVERIFY2(output.size() - at > 22, qPrintable(output)); // a description follows
    QCOMPARE(readAll(sandbox.toolPath()), previous);
    QVERIFY(!output.contains(QStringLiteral("▶️")));
    QVERIFY(!output.contains(QStringLiteral("🗑️")));
    QCOMPARE(log.linesStartingWith(LogOnly).size(), 4);
    QVERIFY(log.linesStartingWith({QStringLiteral("❌ Install error")}).isEmpty());
    QCOMPARE(strayFiles(sandbox.installDir()), QStringList());
}

void TestManagerInstall::missingInstallDirectoryIsAnInstallError()
{
    TestSandbox sandbox;
    HttpsTestServer server(QStringLiteral(TEST_CERT_DIR "/server"));
    QVERIFY(server.listen());
    server.setRoute(path().toUtf8(), {200, Tool, HttpsTestServer::Behaviour::Normal, {}});
    CorvaltManager manager(sandboxConfig(sandbox, server.origin()));

    const LogCapture log;
    manager.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(manager.output().contains(QStringLiteral("❌ Install error: ")), 20000);
    const QString output = manager.output();
    const QString error = output.mid(output.indexOf(QStringLiteral("❌ Install error: "))).chopped(1);
    QVERIFY(error.size() > 18);
    QVERIFY(log.lines().contains(error));
    QCOMPARE(log.linesStartingWith(LogOnly).size(), 4);
    QVERIFY(!QFileInfo::exists(sandbox.toolPath()));
    QTest::qWait(200);
    QVERIFY(!manager.output().contains(QStringLiteral("▶️")));
}

void TestManagerInstall::setupRunsSweepThenDownload()
{
    TestSandbox sandbox;
    HttpsTestServer server(QStringLiteral(TEST_CERT_DIR "/server"));
    QVERIFY(server.listen());
    server.setRoute(path().toUtf8(), {200, Tool, HttpsTestServer::Behaviour::Normal, {}});
    CorvaltManager manager(sandboxConfig(sandbox, server.origin()));
    manager.createInstallDirectory();

    const LogCapture log;
    manager.downloadAndRunCLI();
    QCOMPARE(log.linesStartingWith(
                 {QStringLiteral("🚀"), QStringLiteral("🔍"), QStringLiteral("ℹ️"), QStringLiteral("📥")}),
             (QStringList{QStringLiteral("🚀 downloadAndRunCLI() called"),
                          QStringLiteral("🔍 Searching for existing corvalt processes..."),
                          QStringLiteral("ℹ️ No existing corvalt processes found"),
                          QStringLiteral("📥 Downloading latest CLI version..."),
                          QStringLiteral("📥 installCLI() called"),
                          QStringLiteral("📥 Binary name: tool-linux-amd64"),
                          QStringLiteral("📥 Download URL: ") + server.origin() + path(),
                          QStringLiteral("📥 Update mode: false")}));
    QTRY_VERIFY_WITH_TIMEOUT(manager.output().contains(QStringLiteral("fresh-tool-ran\n")), 20000);
    QVERIFY(manager.output().startsWith(QStringLiteral("🔧 Corvalt Manager initialized\n"
                                                       "🚀 Starting Corvalt CLI setup...\n"
                                                       "🔍 Checking for existing corvalt processes...\n"
                                                       "ℹ️ No existing corvalt processes found\n"
                                                       "📥 Downloading latest CLI version...\n"
                                                       "📥 Installing CLI from ")));
    QCOMPARE(server.requestCount(), 1);
    manager.cleanup();
}

namespace {
// A small tmpfs over a folder for the life of the object; needs the right to mount.
class TmpfsMount
{
public:
    TmpfsMount(const QString& folder, const QString& options) : m_folder(folder)
    {
        QDir().mkpath(folder);
        m_mounted = QProcess::execute(QStringLiteral("mount"),
                                      {QStringLiteral("-t"),
                                       QStringLiteral("tmpfs"),
                                       QStringLiteral("-o"),
                                       options,
                                       QStringLiteral("tmpfs"),
                                       folder}) == 0;
    }
    ~TmpfsMount()
    {
        if (m_mounted) {
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), m_folder});
        }
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool mounted() const { return m_mounted; }
    bool makeReadOnly() const
    {
        return QProcess::execute(QStringLiteral("mount"),
                                 {QStringLiteral("-o"), QStringLiteral("remount,ro"), m_folder}) == 0;
    }

private:
    QString m_folder;
    bool m_mounted = false;
};
} // namespace

void TestManagerInstall::fileSystemFaultsKeepTheInstalledTool_data()
{
    QTest::addColumn<bool>("readOnly");
    QTest::newRow("full") << false;
    QTest::newRow("read-only") << true;
}

void TestManagerInstall::fileSystemFaultsKeepTheInstalledTool()
{
    QFETCH(bool, readOnly);
    TestSandbox sandbox;
    const TmpfsMount mount(sandbox.installDir(), QStringLiteral("size=64k,mode=0755"));
    if (!mount.mounted()) {
        QSKIP("this test needs the right to mount a tmpfs (run as root)");
    }
    TestSandbox::writeScript(sandbox.toolPath(), "echo previous-tool\n");
    if (readOnly) {
        QVERIFY(mount.makeReadOnly());
    }
    HttpsTestServer server(QStringLiteral(TEST_CERT_DIR "/server"));
    QVERIFY(server.listen());
    server.setRoute(path().toUtf8(), {200, QByteArray(512 * 1024, 'x'), HttpsTestServer::Behaviour::Normal, {}});
    CorvaltManager manager(sandboxConfig(sandbox, server.origin()));

    manager.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(manager.output().contains(QStringLiteral("❌ Install error: ")), 20000);
    QTest::qWait(200);
    // The system's own reason, not a generic one.
    QVERIFY2(!manager.output().contains(QStringLiteral("Unknown error")), qPrintable(manager.output()));
    QCOMPARE(readAll(sandbox.toolPath()), QByteArray("#!/bin/sh\necho previous-tool\n"));
    QCOMPARE(strayFiles(sandbox.installDir()), QStringList());
    QVERIFY(!manager.output().contains(QStringLiteral("▶️")));
    QVERIFY(!manager.output().contains(QStringLiteral("🗑️")));
}

QTEST_GUILESS_MAIN(TestManagerInstall)
#include "tst_manager_install.moc"
