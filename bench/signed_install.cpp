// The launch time a signature check adds: the same 20 MB build of the tool, downloaded from a
// loopback HTTPS server in a process of its own (local-dist-server), installed and started by a
// CorvaltManager, once as an unsigned build and once with its minisign signature fetched and
// verified. Rounds alternate; medians.
//
//   bench_signed_install [--rounds N] [--mb N]
#include "bench/median.h"
#include "devtools/local_dist_server.h"
#include "tests/manager/manager_test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

// Milliseconds from installTool() to the tool's start in zsh; negative when it never starts.
double launch(const QString& origin, const QByteArray& publicKey)
{
    TestSandbox sandbox;
    ManagerConfig config = sandboxConfig(sandbox, origin);
    config.minisignPublicKey = publicKey;
    CorvaltManager manager(config);
    manager.createInstallDirectory();
    QEventLoop loop;
    QObject::connect(&manager, &CorvaltManager::outputAppended, &loop, [&loop](const QString& text) {
        if (text.startsWith(QStringLiteral("✅ CLI started successfully")) || text.startsWith(QStringLiteral("❌"))) {
            loop.exit(text.startsWith(QStringLiteral("✅")) ? 0 : 1);
        }
    });
    QTimer::singleShot(60000, &loop, [&loop] { loop.exit(1); });
    QElapsedTimer timer;
    timer.start();
    manager.installTool();
    const bool started = loop.exec() == 0;
    const double elapsed = double(timer.nsecsElapsed()) / 1e6;
    manager.cleanup();
    return started ? elapsed : -1;
}

int intOption(const QStringList& args, const QString& name, int fallback)
{
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = intOption(app.arguments(), QStringLiteral("--rounds"), 10);
    const int megabytes = intOption(app.arguments(), QStringLiteral("--mb"), 20);

    // A script that exits at once, padded with comment lines to the build's size.
    QByteArray tool = "#!/bin/sh\nexit 0\n";
    const QByteArray padding = '#' + QByteArray(78, 'x') + '\n';
    while (tool.size() < qsizetype(megabytes) * 1000 * 1000) {
        tool += padding;
    }
    QTemporaryDir keys;
    QFile file(keys.filePath(QStringLiteral("tool")));
    if (!file.open(QIODevice::WriteOnly) || file.write(tool) != tool.size()) {
        return 2;
    }
    file.close();
    const QString make = QStringLiteral("cd \"$0\" && minisign -G -W -p k.pub -s k.key >/dev/null && "
                                        "minisign -S -s k.key -m tool >/dev/null");
    if (QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), make, keys.path()}) != 0) {
        std::fprintf(stderr, "minisign failed\n");
        return 2;
    }
    const QByteArray publicKey = readAll(keys.filePath(QStringLiteral("k.pub"))).split('\n').value(1);

    LocalDistServer server;
    if (!server.start(QStringLiteral("tool-linux-amd64"), file.fileName())) {
        std::fprintf(stderr, "local-dist-server did not start\n");
        return 2;
    }
    const QString origin = server.origin();

    QList<double> unsignedTimes;
    QList<double> signedTimes;
    for (int round = 0; round < rounds; ++round) {
        unsignedTimes.append(launch(origin, {}));
        signedTimes.append(launch(origin, publicKey));
        if (unsignedTimes.constLast() < 0 || signedTimes.constLast() < 0) {
            std::fprintf(stderr, "a launch failed\n");
            return 1;
        }
    }
    const double plain = median(unsignedTimes);
    const double verified = median(signedTimes);
    std::printf(
        "installTool() to \"✅ CLI started successfully in zsh\", %d MB build, median of %d alternating rounds\n",
        megabytes,
        rounds);
    std::printf("unsigned build   %8.1f ms\n", plain);
    std::printf("signed build     %8.1f ms  (signature fetched and verified)\n", verified);
    std::printf("extra            %8.1f ms  (%.1f %%)\n", verified - plain, 100.0 * (verified - plain) / plain);
    return 0;
}
