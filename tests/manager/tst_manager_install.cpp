#include "manager_test_support.h"
#include "tests/support/https_test_server.h"

#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpSocket>

#include <elf.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

const QByteArray Tool = "#!/bin/sh\necho fresh-tool-ran\n", Previous = "#!/bin/sh\necho previous-tool\n";
const QByteArray AssetPath = "/static/cli/tool-linux-amd64";
// What goes wrong or is at the tool's path, if anything, or "VALIDATORS BETWEEN" for a second launch after a first
// install (VALIDATORS: etag, with Last-Modified too; date, Last-Modified only; none. BETWEEN: unchanged; changed on
// the server; edited, truncated, replaced or removed on disk; unreadable, the record; signed, the key comes with the
// second launch); the body; the output's last line ('*': words not this program's own); the signature (empty: an
// unsigned build; "-": none served).
using Case = std::tuple<QString, QByteArray, QString, QByteArray>;

// Download, check and installation against a real HTTPS server on loopback, after the sweep.
class TestManagerInstall : public QObject
{
    Q_OBJECT
    QByteArray signature(const char* name) const { return readAll(m_keys.filePath(QString::fromLatin1(name))); }
    QTemporaryDir m_keys;

private Q_SLOTS:
    void initTestCase();
    void install_data();
    void install();
};

// Keys "a" and "b" and signatures of the tool, made by the real minisign.
void TestManagerInstall::initTestCase()
{
    ::umask(077); // the installed mode must not depend on the umask
    const QString script =
        u"cd \"$0\" && printf %s \"$1\" >tool && for k in a b; do minisign -G -W -p $k.pub -s $k.key && "
        u"minisign -S -s $k.key -m tool -x $k.minisig -t 'release 1'; done && "
        u"minisign -S -l -s a.key -m tool -x legacy.minisig -t 'release 1'"_s;
    QCOMPARE(QProcess::execute(u"sh"_s, {u"-c"_s, script, m_keys.path(), QString::fromUtf8(Tool)}), 0);
}

void TestManagerInstall::install_data()
{
    QTest::addColumn<Case>("data");
    const auto row = [](const char* tag, const char* fault, QByteArray body, QString error = {}, QByteArray sig = {}) {
        const QString line = error.isEmpty() || error.startsWith(u'❌') ? error : u"❌ Download error: "_s + error;
        QTest::newRow(tag) << Case{QString::fromUtf8(fault), body, line, sig};
    };
    QByteArray otherElf = readAll(u"/bin/true"_s);
    QByteArray html = "<!DOCTYPE html>\n<html><body>Service unavailable";
    otherElf[18] = otherElf.at(18) == char(EM_X86_64) ? char(EM_AARCH64) : char(EM_X86_64);
    const QByteArray big = "#!" + QByteArray(300 * 1024, 'x');
    const QByteArray good = signature("a.minisig");
    const QByteArray altered = QByteArray(good).replace("release 1", "release 2"),
                     macho = "\xcf\xfa\xed\xfe\x07" + Tool;

    row("fresh, ELF for this machine", "fresh", readAll(u"/bin/true"_s));
    row("update, #! script", "", Tool);
    row("directory at the tool path", "directory", Tool);
    row("link at the tool path", "link", Tool);
    row("signed", "", Tool, {}, good);
    row("signed, legacy format", "", Tool, {}, signature("legacy.minisig"));
    row("404", "404", html, "Error transferring * - server replied: Not Found");
    row("304 to a plain request", "304", {}, "Error transferring * - server replied: 304 Not Modified");
    row("ETag, unchanged", "etag unchanged", Tool);
    row("Last-Modified only, unchanged", "date unchanged", Tool);
    row("no validators, unchanged", "none unchanged", Tool);
    row("ETag, changed", "etag changed", Tool + "# 2\n");
    row("ETag, edited on disk", "etag edited", Tool);
    row("ETag, truncated on disk", "etag truncated", Tool);
    row("ETag, replaced on disk", "etag replaced", Tool);
    row("ETag, removed from disk", "etag removed", Tool);
    row("ETag, record unreadable", "etag unreadable", Tool);
    row("signed, unchanged", "etag unchanged", Tool, {}, good);
    row("unsigned, then signed", "etag signed", Tool, {}, good);
    row("truncated", "truncate", big.left(64 * 1024), "*");
    row("stalled", "stall", big.left(64 * 1024), "No data received for 1.5 seconds");
    row("untrusted certificate", "untrusted", Tool, "*");
    row("certificate for another name", "wrongname", Tool, "*");
    row("expired certificate", "expired", Tool, "*");
    row("redirect to plain http", "http", {}, "*");
    row("empty body", "", {}, "The server sent an empty file");
    row("too large, announced", "", big, "The download is 307202 bytes, more than the 262144 allowed");
    row("too large, unannounced", "unannounced", big, "The download is larger than the 262144 bytes allowed");
    row("HTML page", "", html, R"(The download is not a program for * it begins "<!DOCTYPE html>\n<html><body>Serv")");
    row("JSON error",
        "",
        R"({"error": "rate limited"})",
        R"(The download is not a program for * it begins "{\"error\": *")");
    row("zip archive", "", "PK\x03\x04" + Tool, R"(The download is not a program for * it begins "PK\x03\x04#!*")");
    row("Mach-O", "", macho, R"(The download is not a program for * "\xcf\xfa\xed\xfe\x07#!*")");
    row("ELF for another machine", "", otherElf, "The download is an ELF file for another machine, not for *");
    row("signed by another key", "", Tool, "The signature is by another key *", signature("b.minisig"));
    row("flipped byte", "", QByteArray(Tool).replace('f', 'F'), "The signature does not match the download", good);
    row("signature missing", "", Tool, "The signature is missing: *", "-");
    row("signature truncated", "", Tool, "The signature file is malformed: *", good.left(good.size() / 2));
    row("signature of garbage", "", Tool, "The signature file is malformed: *", "garbage\n");
    row("trusted comment altered", "", Tool, "The signature's trusted comment does not match its signature", altered);
    row("full disk", "rw", big.left(200 * 1024), "❌ Install error: *");
    row("read-only disk", "ro", Tool, "❌ Install error: *");
}

void TestManagerInstall::install()
{
    QFETCH(Case, data);
    const auto& [fault, body, error, signature] = data;
    const QStringList relaunch = fault.split(u' ');
    const bool twice = relaunch.size() == 2;
    const QString between = relaunch.value(1);
    const bool conditional = twice && relaunch.first() != u"none" && (between == u"unchanged" || between == u"changed");
    const bool kept = conditional && between == u"unchanged";
    TestSandbox sandbox;
    const QString path = sandbox.toolPath();
    const QString dir = sandbox.installDir();
    const QString elsewhere = sandbox.root() + u"/elsewhere"_s;
    // A small disk of its own for the install folder, read-only from the start for that row.
    const bool disk = fault == u"rw" || fault == u"ro";
    const bool update = twice ? between != u"removed" : fault != u"fresh" && fault != u"ro";
    const QString mount = u"mkdir -p \"$0\" && mount -t tmpfs -o size=64k,mode=0755,%1 tmpfs \"$0\""_s.arg(fault);
    if (disk && QProcess::execute(u"sh"_s, {u"-c"_s, mount, dir}) != 0) {
        QSKIP("this row needs the right to mount a tmpfs (run as root)");
    }
    const auto unmount = qScopeGuard([&] { return disk && QProcess::execute(u"umount"_s, {u"-l"_s, dir}) == 0; });
    if (fault == u"directory") {
        QVERIFY(QDir().mkpath(path + u"/nested"_s));
    } else if (fault == u"link") {
        TestSandbox::writeScript(elsewhere, "echo elsewhere\n");
        QVERIFY(QDir().mkpath(dir) && QFile::link(elsewhere, path));
    } else if (update && !twice) {
        TestSandbox::writeScript(path, Previous.mid(10));
        QFile(path).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }

    HttpsTestServer server(
        QStringLiteral(TEST_CERT_DIR "/") +
        (QStringList{u"untrusted"_s, u"wrongname"_s, u"expired"_s}.contains(fault) ? fault : u"server"_s));
    QTcpServer plain; // serves the tool to whoever follows a redirect to plain http
    QVERIFY(server.listen() && plain.listen(QHostAddress::LocalHost));
    connect(&plain, &QTcpServer::newConnection, &plain, [&plain] {
        QTcpSocket* const socket = plain.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(Tool.size()) + "\r\n\r\n" + Tool);
            socket->disconnectFromHost();
        });
    });
    using enum HttpsTestServer::Behaviour;
    HttpsTestServer::Route route{qMax(fault == u"http" ? 302 : 200, fault.toInt()), body, Normal, {}};
    route.behaviour = fault == u"truncate" ? Truncate : fault == u"stall" ? StallMidBody : Normal;
    route.announceLength = fault != u"unannounced";
    route.location = u"http://127.0.0.1:%1"_s.arg(plain.serverPort()).toUtf8() + AssetPath; // used by a 302 only
    route.entityTag = relaunch.first() == u"etag" ? "\"2\"" : "";
    route.lastModified = twice && relaunch.first() != u"none" ? "Mon, 07 Dec 2026 09:00:00 GMT" : "";
    server.setRoute(AssetPath + ".minisig", {signature == "-" ? 404 : 200, signature, Normal, {}});
    ManagerConfig config = sandboxConfig(sandbox, server.origin());
    config.downloadStallTimeout = std::chrono::milliseconds(1500);
    config.maxDownloadBytes = 256 * 1024;
    const QByteArray key = signature.isEmpty() ? QByteArray() : this->signature("a.pub").split('\n').at(1);
    const auto launch = [&config](const QByteArray& publicKey) {
        config.minisignPublicKey = publicKey;
        CorvaltManager manager(config);
        manager.createInstallDirectory();
        manager.downloadAndRunTool();
        // Judged by the output, which then lacks its last line.
        std::ignore = QTest::qWaitFor(
            [&manager] { return manager.output().contains(QRegularExpression(u"❌|⚡️ CLI exited"_s)); }, 20000);
        QTest::qWait(200); // nothing follows a failure
        return manager.output();
    };
    if (twice) {
        HttpsTestServer::Route first = route;
        if (between == u"changed") {
            first = {200, Tool, Normal, {}, true, "\"1\"", "Sun, 06 Dec 2026 09:00:00 GMT"};
        }
        server.setRoute(AssetPath, first);
        QVERIFY(launch(between == u"signed" ? QByteArray() : key).contains(u"✅ CLI installed at"_s));
        if (between == u"edited") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.write("#!/bin/sh\necho edited") > 0);
        } else if (between == u"truncated") {
            QVERIFY(QFile::resize(path, 10));
        } else if (between == u"replaced") { // by the same bytes
            QVERIFY(QFile::copy(path, elsewhere) && QFile::remove(path) && QFile::rename(elsewhere, path));
        } else if (between == u"removed") {
            QVERIFY(QFile::remove(path));
        } else if (between == u"unreadable") {
            QVERIFY(QFile::resize(config.settingsFile, 7));
        }
    }
    server.setRoute(AssetPath, route);
    const QString output = launch(key);
    // What follows the opening lines, which the whole program's launch test checks. '*': words that are not
    // this program's own; '…': the tool's output.
    const QString done = (kept         ? u"ℹ️ CLI is already the latest version at "_s
                              : update ? u"🗑️ Removed existing CLI binary\n✅ CLI updated to latest version at "_s
                                       : u"✅ CLI installed at "_s) +
        path +
        u"\n▶️ Starting corvalt CLI in zsh with color support...\n✅ CLI started successfully in zsh\n…⚡️ CLI exited with code 0"_s;
    const QString url = config.baseUrl.toString() + u"/tool-linux-amd64"_s;
    const QString tail = u"📥 Downloading latest CLI version...\n"_s +
        (update ? u"🔄 Updating CLI to latest version from %1\n"_s : u"📥 Installing CLI from %1\n"_s).arg(url) +
        (error.isEmpty() ? done : error) + u'\n';
    const QString pattern = QRegularExpression::escape(tail).replace(u"\\*"_s, u".+"_s).replace(u"\\…"_s, u"(?s:.*)"_s);
    QVERIFY2(QRegularExpression(pattern + u"\\z"_s).match(output).hasMatch(), qPrintable(output));
    if (error.isEmpty()) {
        QCOMPARE(QFile::permissions(path), QFile::Permissions(0x7755)); // 0755
        QVERIFY(twice || server.requestCount() == (signature.isEmpty() ? 1 : 2));
        QCOMPARE(server.conditionalRequestCount(), conditional ? 1 : 0);
    }
    QCOMPARE(readAll(path), error.isEmpty() ? body : update ? Previous : QByteArray());
    QCOMPARE(readAll(elsewhere), QByteArray(fault == u"link" ? "#!/bin/sh\necho elsewhere\n" : ""));
    QCOMPARE(sandbox.installDirEntries(), QStringList(error.isEmpty() || update ? 1 : 0, u"corvalt"_s)); // no litter
}

QTEST_GUILESS_MAIN(TestManagerInstall)
#include "tst_manager_install.moc"
