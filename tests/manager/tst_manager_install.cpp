#include "manager_test_support.h"
#include "tests/support/https_test_server.h"
#include "tests/support/log_capture.h"

#include <QProcess>
#include <QTest>

#include <elf.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {
enum Existing { Nothing, Script, Directory, Link };

const QByteArray Tool = "#!/bin/sh\necho fresh-tool-ran\n";
const QByteArray Previous = "#!/bin/sh\necho previous-tool\n";
const QByteArray AssetPath = "/static/cli/tool-linux-amd64";
const QString DownloadError = u"❌ Download error: "_s;
const QString InstallError = u"❌ Install error: "_s;

mode_t modeOf(const QString& file)
{
    struct stat status = {};
    return ::stat(QFile::encodeName(file).constData(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// A 64 KiB tmpfs over a folder while it lives; needs the right to mount.
struct Tmpfs
{
    QString folder;
    bool mounted = !folder.isEmpty() && QDir().mkpath(folder) &&
        QProcess::execute(u"sh"_s, {u"-c"_s, u"mount -t tmpfs -o size=64k,mode=0755 tmpfs \"$0\""_s, folder}) == 0;
    ~Tmpfs()
    {
        if (mounted) {
            QProcess::execute(u"umount"_s, {u"-l"_s, folder});
        }
    }
};
} // namespace

// Download, check and installation against a real HTTPS server on loopback, after the sweep.
class TestManagerInstall : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void install_data();
    void install();

private:
    // A signature by key "a" or "b", made by the real minisign.
    QByteArray sign(const QByteArray& body, const QString& key, const QString& options = {}) const;
    QTemporaryDir m_keys;
};

void TestManagerInstall::initTestCase()
{
    ::umask(077); // the installed mode must not depend on the umask
    const QString make = u"cd \"$0\" && minisign -G -W -p a.pub -s a.key && minisign -G -W -p b.pub -s b.key"_s;
    QCOMPARE(QProcess::execute(u"sh"_s, {u"-c"_s, make, m_keys.path()}), 0);
}

QByteArray TestManagerInstall::sign(const QByteArray& body, const QString& key, const QString& options) const
{
    QProcess minisign;
    const QString script = u"cd \"$0\" && cat >body && minisign -S -s %1.key -m body -t 'release 1' %2"_s;
    minisign.start(u"sh"_s, {u"-c"_s, script.arg(key, options), m_keys.path()});
    minisign.write(body);
    minisign.closeWriteChannel();
    minisign.waitForFinished();
    return readAll(m_keys.filePath(u"body.minisig"_s));
}

void TestManagerInstall::install_data()
{
    QTest::addColumn<QString>("fault"); // what goes wrong, if anything
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("error");        // empty: installed and started
    QTest::addColumn<QString>("detail");       // part of the error's description
    QTest::addColumn<QByteArray>("signature"); // empty: an unsigned build; "-": none served
    QTest::addColumn<int>("existing");
    const auto row = [](const char* name,
                        const QString& fault,
                        const QByteArray& body,
                        const QString& error = DownloadError,
                        const QString& detail = {},
                        const QByteArray& signature = {},
                        Existing existing = Script) {
        QTest::newRow(name) << fault << body << error << detail << signature << int(existing);
    };
    const QByteArray elf = readAll(u"/bin/true"_s);
    QByteArray otherElf = elf;
    otherElf[18] = otherElf.at(18) == char(EM_X86_64) ? char(EM_AARCH64) : char(EM_X86_64);
    const QByteArray big = "#!" + QByteArray(300 * 1024, 'x');
    const QByteArray good = sign(Tool, u"a"_s);
    QByteArray flipped = Tool;
    flipped[12] = char(flipped.at(12) ^ 1);
    const QByteArray altered = QByteArray(good).replace("release 1", "release 2");
    const QByteArray html = "<!DOCTYPE html>\n<html><body>Service unavailable";
    const QString malformed = u"The signature file is malformed"_s;

    row("fresh, ELF for this machine", {}, elf, {}, {}, {}, Nothing);
    row("update, #! script", {}, Tool, {});
    row("directory at the tool path", {}, Tool, {}, {}, {}, Directory);
    row("link at the tool path", {}, Tool, {}, {}, {}, Link);
    row("signed", {}, Tool, {}, {}, good);
    row("signed, legacy format", {}, Tool, {}, {}, sign(Tool, u"a"_s, u"-l"_s), Nothing);
    row("404", u"404"_s, Tool);
    row("500", u"500"_s, Tool);
    row("truncated", u"truncate"_s, big.left(64 * 1024));
    row("reset", u"reset"_s, big.left(64 * 1024));
    row("stalled", u"stall"_s, big.left(64 * 1024), DownloadError, u"No data received for 1.5 seconds"_s);
    row("no answer", u"silent"_s, Tool);
    row("untrusted certificate", u"untrusted"_s, Tool);
    row("expired certificate", u"expired"_s, Tool);
    row("certificate for another name", u"wrongname"_s, Tool);
    row("redirect to plain http", u"http"_s, {});
    row("connection refused", u"refused"_s, Tool);
    row("empty body", {}, {}, DownloadError, u"The server sent an empty file"_s);
    row("too large, announced", {}, big, DownloadError, u"more than the 262144 allowed"_s);
    row("too large, unannounced", u"unannounced"_s, big, DownloadError, u"larger than the 262144 bytes"_s);
    row("HTML page", {}, html, DownloadError, u"it begins \"<!DOCTYPE html>\\n<html><body>Serv\""_s);
    row("JSON error", {}, R"({"error":"rate limited","retry":60})", DownloadError, u"it begins \"{\\\"error\\\":"_s);
    row("zip", {}, QByteArray("PK\x03\x04\x14\x00", 6) + Tool, DownloadError, u"it begins \"PK\\x03\\x04\\x14"_s);
    row("Mach-O", {}, QByteArray("\xcf\xfa\xed\xfe\x07\x00\x00\x01", 8) + Tool, DownloadError, u"\"\\xcf\\xfa"_s);
    row("ELF for another machine", {}, otherElf, DownloadError, u"an ELF file for another machine"_s);
    row("signed by another key", {}, Tool, DownloadError, u"signature is by another key"_s, sign(Tool, u"b"_s));
    row("flipped byte", {}, flipped, DownloadError, u"signature does not match the download"_s, good);
    row("signature missing", {}, Tool, DownloadError, u"signature is missing: "_s, "-");
    row("signature truncated", {}, Tool, DownloadError, malformed, good.left(good.size() / 2));
    row("signature garbage", {}, Tool, DownloadError, malformed, QByteArray(200, '\x01'));
    row("trusted comment altered", {}, Tool, DownloadError, u"trusted comment does not match"_s, altered);
    row("no install directory", u"no directory"_s, Tool, InstallError, {}, {}, Nothing);
    row("full disk", u"full"_s, big.left(200 * 1024), InstallError);
    row("read-only disk", u"read-only"_s, Tool, InstallError);
}

void TestManagerInstall::install()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, body);
    QFETCH(QString, error);
    QFETCH(QString, detail);
    QFETCH(QByteArray, signature);
    QFETCH(int, existing);
    TestSandbox sandbox;
    const QString path = sandbox.toolPath();
    const QString elsewhere = sandbox.root() + u"/elsewhere"_s;
    const Tmpfs tmpfs{fault == u"full" || fault == u"read-only" ? sandbox.installDir() : QString()};
    if (!tmpfs.folder.isEmpty() && !tmpfs.mounted) {
        QSKIP("this row needs the right to mount a tmpfs (run as root)");
    }
    if (existing == Script) {
        TestSandbox::writeScript(path, Previous.mid(10));
        QFile(path).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    } else if (existing == Directory) {
        QVERIFY(QDir().mkpath(path + u"/nested"_s));
    } else if (existing == Link) {
        TestSandbox::writeScript(elsewhere, "echo elsewhere\n");
        QVERIFY(QDir().mkpath(sandbox.installDir()) && QFile::link(elsewhere, path));
    }
    if (fault == u"read-only") {
        QCOMPARE(QProcess::execute(u"mount"_s, {u"-o"_s, u"remount,ro"_s, tmpfs.folder}), 0);
    }

    const QString certificate =
        QStringList{u"untrusted"_s, u"expired"_s, u"wrongname"_s}.contains(fault) ? fault : u"server"_s;
    HttpsTestServer server(QStringLiteral(TEST_CERT_DIR "/") + certificate);
    QVERIFY(server.listen());
    using enum HttpsTestServer::Behaviour;
    const QHash<QString, HttpsTestServer::Behaviour> behaviours{
        {u"truncate"_s, Truncate}, {u"reset"_s, Reset}, {u"stall"_s, StallMidBody}, {u"silent"_s, NoAnswer}};
    const int status = fault == u"http" ? 302 : fault.toInt() ? fault.toInt() : 200;
    HttpsTestServer::Route route{status, body, behaviours.value(fault, Normal), {}};
    route.announceLength = fault != u"unannounced";
    if (fault == u"http") {
        route.location = u"http://127.0.0.1:%1"_s.arg(server.port()).toUtf8() + AssetPath;
    }
    server.setRoute(AssetPath, route);
    if (signature != "-") {
        server.setRoute(AssetPath + ".minisig", {200, signature, Normal, {}});
    }
    ManagerConfig config = sandboxConfig(sandbox, server.origin());
    config.downloadStallTimeout = std::chrono::milliseconds(1500);
    config.maxDownloadBytes = 256 * 1024;
    if (!signature.isEmpty()) {
        config.minisignPublicKey = readAll(m_keys.filePath(u"a.pub"_s)).split('\n').at(1);
    }
    if (fault == u"refused") {
        HttpsTestServer closed(QStringLiteral(TEST_CERT_DIR "/server"));
        QVERIFY(closed.listen());
        config.baseUrl = QUrl(closed.origin() + u"/static/cli"_s);
    }
    CorvaltManager manager(config);
    if (fault != u"no directory") {
        manager.createInstallDirectory();
    }

    const LogCapture log;
    manager.downloadAndRunCLI();
    QTRY_VERIFY_WITH_TIMEOUT(manager.output().contains(error.isEmpty() ? u"⚡️ CLI exited with code 0\n"_s : error),
                             20000);
    QTest::qWait(200); // nothing follows a failure
    const QString output = manager.output();
    const QString url = config.baseUrl.toString() + u"/tool-linux-amd64"_s;
    const bool update = existing != Nothing;
    QString expected = u"🔧 Corvalt Manager initialized\n🚀 Starting Corvalt CLI setup...\n"
                       u"🔍 Checking for existing corvalt processes...\nℹ️ No existing corvalt processes found\n"
                       u"📥 Downloading latest CLI version...\n"_s +
        (update ? u"🔄 Updating CLI to latest version from %1\n"_s : u"📥 Installing CLI from %1\n"_s).arg(url);
    QStringList logged = u"🚀 downloadAndRunCLI() called|🔍 Searching for existing corvalt processes...|"
                         u"📥 installCLI() called|📥 Binary name: tool-linux-amd64|📥 Download URL: %1|📥 Update mode: %2"_s
                             .arg(url, update ? u"true"_s : u"false"_s)
                             .split(u'|');
    if (error.isEmpty()) {
        QCOMPARE(readAll(path), body);
        QCOMPARE(modeOf(path), mode_t(0755));
        QCOMPARE(readAll(elsewhere), QByteArray(existing == Link ? "#!/bin/sh\necho elsewhere\n" : ""));
        QCOMPARE(server.requestCount(), signature.isEmpty() ? 1 : 2);
        expected += update
            ? u"🗑️ Removed existing CLI binary\n✅ CLI updated to latest version at %1\n"_s.arg(path)
            : u"✅ CLI installed at %1\n"_s.arg(path);
        expected += u"▶️ Starting corvalt CLI in zsh with color support...\n"_s;
        QVERIFY2(output.startsWith(expected), qPrintable(output));
        logged += update
            ? QStringList{u"🗑️ Removing existing binary at "_s + path, u"✅ CLI updated successfully"_s}
            : QStringList{u"✅ CLI installed successfully"_s};
    } else {
        const QString line = output.mid(output.indexOf(error));
        QCOMPARE(output, expected + line);
        QVERIFY2(line.count(u'\n') == 1 && line.endsWith(u'\n') && line.contains(detail), qPrintable(line));
        QVERIFY(line.size() > error.size() + 4); // a description follows
        QCOMPARE(readAll(path), existing == Script ? Previous : QByteArray());
    }
    // Lines only the log carries: it also repeats the output text.
    const QStringList prefixes =
        u"🚀 downloadAndRunCLI|🔍 Searching|📥 installCLI|📥 Binary|📥 Download URL|📥 Update|"
        u"🗑️ Removing|✅ CLI installed successfully|✅ CLI updated successfully"_s.split(u'|');
    QCOMPARE(log.linesStartingWith(prefixes), logged);
    QStringList litter = QDir(sandbox.installDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    litter.removeAll(u"corvalt"_s);
    QCOMPARE(litter, QStringList());
    manager.cleanup();
}

QTEST_GUILESS_MAIN(TestManagerInstall)
#include "tst_manager_install.moc"
