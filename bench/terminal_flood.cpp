// Floods the terminal window with coloured log lines and compares it with the raw pipe, with
// capturing alone and with a plain QPlainTextEdit. Every measurement runs in a process of its own,
// so that each peak of resident memory is its own. Prints a table; not a test.

#include "bench/median.h"
#include "flood_scenarios.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

constexpr int ChildTimeoutMilliseconds = 5 * 60 * 1000;

struct Scenario
{
    QString name;
    QString label;
};

const QList<Scenario>& scenarios()
{
    static const QList<Scenario> list{
        {QStringLiteral("pipe"), QStringLiteral("(a) raw pipe")},
        {QStringLiteral("capture"), QStringLiteral("(b) capture into a QString")},
        {QStringLiteral("plaintext"), QStringLiteral("(c) QPlainTextEdit via manager+model")},
        {QStringLiteral("plaintextpipe"), QStringLiteral("(c') QPlainTextEdit from the pipe")},
        {QStringLiteral("terminal"), QStringLiteral("(d) terminal window")},
        // Four progress lines redrawn in place under log lines, as multi-line progress displays do.
        {QStringLiteral("progress"), QStringLiteral("(f) (d), multi-line progress")},
        // Find in the whole retained output once the flood is over.
        {QStringLiteral("find"), QStringLiteral("(g) find in the terminal window")},
        // The same on a private X display, with and without a screen reader listening.
        {QStringLiteral("terminal-x"), QStringLiteral("(e) terminal window on X")},
        {QStringLiteral("terminal-reader"), QStringLiteral("(e') (e), screen reader listening")},
    };
    return list;
}

// Writes pieces made by `piece(n)` for n = 0, 1, ... until `bytes` are written, then the end
// marker; returns how many pieces.
qint64 writeData(const QString& path, qint64 bytes, const std::function<QByteArray(qint64)>& piece)
{
    QSaveFile file(path);
    file.open(QIODevice::WriteOnly);
    QByteArray chunk;
    qint64 written = 0;
    qint64 pieces = 0;
    while (written < bytes) {
        const QByteArray next = piece(pieces++);
        chunk += next;
        written += next.size();
        if (chunk.size() > (1 << 20)) {
            file.write(chunk);
            chunk.clear();
        }
    }
    chunk += QByteArray(FloodScenarios::EndMarker) + '\n';
    file.write(chunk);
    file.commit();
    return pieces;
}

// Log lines of a busy service, coloured the way such tools colour them, some long enough to wrap.
QByteArray logLine(qint64 n)
{
    static const char* const Paths[] = {"/api/v1/items", "/api/v1/users/profile", "/static/app.js", "/healthz"};
    QByteArray line = QStringLiteral("\x1b[2m2026-12-06T10:%1:%2.%3Z\x1b[0m ")
                          .arg(n / 60000 % 60, 2, 10, QLatin1Char('0'))
                          .arg(n / 1000 % 60, 2, 10, QLatin1Char('0'))
                          .arg(n % 1000, 3, 10, QLatin1Char('0'))
                          .toUtf8();
    if (n % 50 == 49) {
        line += "\x1b[1;31mERROR\x1b[0m \x1b[36mworker-" + QByteArray::number(n % 8) +
            "\x1b[0m request failed: connection reset by peer while reading the response body from the "
            "upstream service at 10.0.3." +
            QByteArray::number(n % 250) + ":8443 (attempt 3 of 3, giving up)";
    } else if (n % 10 == 9) {
        line += "\x1b[33mWARN \x1b[0m \x1b[36mworker-" + QByteArray::number(n % 8) +
            "\x1b[0m slow request id=" + QByteArray::number(n) + " took \x1b[1m" + QByteArray::number(n % 900 + 100) +
            "ms\x1b[22m";
    } else {
        line += "\x1b[32mINFO \x1b[0m \x1b[36mworker-" + QByteArray::number(n % 8) + "\x1b[0m " + "GET " +
            Paths[n % 4] + " id=" + QByteArray::number(n) + " status=\x1b[1;32m200\x1b[0m in " +
            QByteArray::number(n % 97 + 1) + "ms";
    }
    return line + '\n';
}

// Four tasks' progress lines, redrawn in place: back to the first (CSI 4F), erased to the end
// (CSI J) and written again, with a log line above them every tenth redraw.
QByteArray progressRedraw(qint64 n)
{
    QByteArray frame = n == 0 ? "\n\n\n\n\x1b[4F" : "\x1b[4F\x1b[J";
    if (n % 10 == 0) {
        frame += "\x1b[32mINFO \x1b[0m downloaded layer sha256:" + QByteArray::number(n * 7919, 16) + " (" +
            QByteArray::number(n % 900 + 100) + " MiB)\n";
    }
    for (int task = 0; task < 4; ++task) {
        const qint64 percent = (n * (task + 1)) % 101;
        frame += "\x1b[36mtask " + QByteArray::number(task) + "\x1b[0m [" + QByteArray(percent / 5, '#') +
            QByteArray(20 - percent / 5, '-') + "] " + QByteArray::number(percent) + "% " +
            QByteArray::number(n % 97 + 1) + ".4 MiB/s\n";
    }
    return frame;
}

int runChild(const QString& scenario, const QString& dataFile, const QString& resultFile)
{
    FloodScenarios::Figures figures;
    if (scenario == u"pipe") {
        figures = FloodScenarios::rawPipe(dataFile);
    } else if (scenario == u"capture") {
        figures = FloodScenarios::captureOnly(dataFile);
    } else if (scenario == u"plaintext") {
        figures = FloodScenarios::plainTextEditFromModel(dataFile);
    } else if (scenario == u"plaintextpipe") {
        figures = FloodScenarios::plainTextEditFromPipe(dataFile);
    } else if (scenario == u"terminal" || scenario == u"progress") {
        figures = FloodScenarios::terminalWindow(dataFile);
    } else if (scenario == u"find") {
        figures = FloodScenarios::findInTerminalWindow(dataFile);
    } else {
        return 2;
    }
    QFile result(resultFile);
    if (!result.open(QIODevice::WriteOnly)) {
        return 1;
    }
    for (auto it = figures.cbegin(); it != figures.cend(); ++it) {
        result.write(it.key().toUtf8() + ' ' + QByteArray::number(it.value(), 'g', 10) + '\n');
    }
    return 0;
}

std::optional<FloodScenarios::Figures>
measure(const QString& scenario, const QString& dataFile, const QString& directory)
{
    const QString resultFile = directory + QStringLiteral("/result-") + scenario;
    QFile::remove(resultFile);
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(environment);
    // The manager logs every piece of output: that goes nowhere, as it would to a closed terminal.
    child.setStandardOutputFile(QProcess::nullDevice());
    child.setStandardInputFile(QProcess::nullDevice());
    QStringList arguments{QCoreApplication::applicationFilePath(),
                          QStringLiteral("--scenario"),
                          scenario.section(u'-', 0, 0),
                          QStringLiteral("--data"),
                          scenario == u"progress" ? QFileInfo(dataFile).path() + QStringLiteral("/progress.log")
                                                  : dataFile,
                          QStringLiteral("--result"),
                          resultFile};
    if (scenario.startsWith(u"terminal-")) {
        // On a desktop of its own, whose bus holds the accessibility bus and the listener.
        const QStringList session{QStringLiteral("--"),
                                  QStringLiteral("/usr/bin/python3"),
                                  QStringLiteral(BENCH_SOURCE_DIR "/screen_reader_session.py")};
        const QStringList listen =
            scenario.endsWith(u"reader") ? QStringList{QStringLiteral("--listen")} : QStringList();
        arguments = session + listen + QStringList{resultFile} + arguments;
        arguments.prepend(QStringLiteral(DESKTOP_SESSION));
    }
    child.start(arguments.takeFirst(), arguments);
    if (!child.waitForFinished(ChildTimeoutMilliseconds) || child.exitCode() != 0) {
        child.kill();
        child.waitForFinished();
        std::fprintf(stderr, "%s failed:\n%s\n", qPrintable(scenario), child.readAllStandardError().constData());
        return std::nullopt;
    }
    QFile result(resultFile);
    if (!result.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    FloodScenarios::Figures figures;
    for (const QByteArray& line : result.readAll().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() == 2) {
            figures.insert(QString::fromUtf8(parts.at(0)), parts.at(1).toDouble());
        }
    }
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    // Only the measurements show windows; the process that runs them needs no display.
    const bool child =
        std::any_of(argv, argv + argc, [](const char* argument) { return qstrcmp(argument, "--scenario") == 0; });
    const std::unique_ptr<QCoreApplication> application =
        child ? std::make_unique<QApplication>(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Floods the terminal window and prints what it costs."));
    parser.addHelpOption();
    const QCommandLineOption runsOption(
        QStringLiteral("runs"), QStringLiteral("Runs of each measurement."), QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption sizeOption(
        QStringLiteral("mib"), QStringLiteral("MiB of output to flood."), QStringLiteral("n"), QStringLiteral("100"));
    const QCommandLineOption scenarioOption(
        QStringLiteral("scenario"), QStringLiteral("Internal: run one measurement."), QStringLiteral("name"));
    const QCommandLineOption dataOption(
        QStringLiteral("data"), QStringLiteral("Internal: the data file."), QStringLiteral("file"));
    const QCommandLineOption resultOption(
        QStringLiteral("result"), QStringLiteral("Internal: where figures go."), QStringLiteral("file"));
    parser.addOptions({runsOption, sizeOption, scenarioOption, dataOption, resultOption});
    parser.process(*application);

    if (parser.isSet(scenarioOption)) {
        return runChild(parser.value(scenarioOption), parser.value(dataOption), parser.value(resultOption));
    }

    const int runs = std::max(1, parser.value(runsOption).toInt());
    const qint64 mib = std::max(1, parser.value(sizeOption).toInt());
    const QTemporaryDir directory;
    const QString dataFile = directory.path() + QStringLiteral("/flood.log");
    const qint64 lines = writeData(dataFile, mib * 1024 * 1024, logLine);
    writeData(directory.path() + QStringLiteral("/progress.log"), mib * 1024 * 1024, progressRedraw);
    std::fprintf(
        stderr, "%lld MiB of coloured log lines (%lld lines); %d runs of each measurement\n", mib, lines, runs);

    QMap<QString, QMap<QString, QList<double>>> collected;
    for (int run = 1; run <= runs; ++run) {
        for (const Scenario& scenario : scenarios()) {
            std::fprintf(stderr, "run %d: %s...\n", run, qPrintable(scenario.label));
            const std::optional<FloodScenarios::Figures> figures = measure(scenario.name, dataFile, directory.path());
            if (!figures) {
                return 1;
            }
            for (auto it = figures->cbegin(); it != figures->cend(); ++it) {
                collected[scenario.name][it.key()].append(it.value());
            }
        }
    }
    const auto figure = [&](const QString& scenario, const QString& key) {
        return median(collected.value(scenario).value(key));
    };
    const auto cell = [&](const QString& scenario, const QString& key, const char* format) {
        return collected.value(scenario).contains(key) ? QString::asprintf(format, figure(scenario, key))
                                                       : QStringLiteral("-");
    };

    QTextStream out(stdout);
    out << "Terminal flood: " << mib << " MiB of coloured log lines (" << lines << " lines), median of " << runs
        << (runs == 1 ? " run" : " runs") << ", Qt " << qVersion() << ", QT_QPA_PLATFORM=offscreen\n\n";
    out << QStringLiteral("%1 %2 %3 %4 %5\n")
               .arg(QStringLiteral("pipeline"), -34)
               .arg(QStringLiteral("throughput"), 13)
               .arg(QStringLiteral("max stall"), 11)
               .arg(QStringLiteral("peak RSS"), 11)
               .arg(QStringLiteral("end shown after"), 16);
    for (const Scenario& scenario : scenarios()) {
        out << QStringLiteral("%1 %2 %3 %4 %5\n")
                   .arg(scenario.label, -34)
                   .arg(cell(scenario.name, QStringLiteral("mibps"), "%.1f MiB/s"), 13)
                   .arg(cell(scenario.name, QStringLiteral("stall_ms"), "%.1f ms"), 11)
                   .arg(cell(scenario.name, QStringLiteral("peak_mib"), "%.1f MiB"), 11)
                   .arg(cell(scenario.name, QStringLiteral("latency_ms"), "%.1f ms"), 16);
    }

    const double ours = figure(QStringLiteral("terminal"), QStringLiteral("mibps"));
    const double idle = figure(QStringLiteral("terminal"), QStringLiteral("idle_mib"));
    const double cap = figure(QStringLiteral("terminal"), QStringLiteral("cap_mib"));
    const double peak = figure(QStringLiteral("terminal"), QStringLiteral("peak_mib"));
    const double idleMegabytes = idle * 1.048576;
    struct Goal
    {
        QString name;
        QString value;
        QString goal;
        bool met;
    };
    const double versusCapture = ours / figure(QStringLiteral("capture"), QStringLiteral("mibps"));
    const double versusPlainText = ours / figure(QStringLiteral("plaintext"), QStringLiteral("mibps"));
    const double stall = figure(QStringLiteral("terminal"), QStringLiteral("stall_ms"));
    const double latency = figure(QStringLiteral("terminal"), QStringLiteral("latency_ms"));
    const double caps = (peak - idle) / cap;
    const QList<Goal> goals{
        {QStringLiteral("throughput (d) / (b)"),
         QString::asprintf("%.2f", versusCapture),
         QStringLiteral(">= 0.5"),
         versusCapture >= 0.5},
        {QStringLiteral("throughput (d) / (c)"),
         QString::asprintf("%.1f", versusPlainText),
         QStringLiteral(">= 5"),
         versusPlainText >= 5},
        {QStringLiteral("(d) longest main-thread stall"),
         QString::asprintf("%.1f ms", stall),
         QStringLiteral("<= 50 ms"),
         stall <= 50},
        {QStringLiteral("(d) peak RSS - idle, in output caps"),
         QString::asprintf("%.2f (%.0f MiB)", caps, peak - idle),
         QString::asprintf("< 3 (%.0f MiB)", 3 * cap),
         caps < 3},
        {QStringLiteral("(d) idle, window open"),
         QString::asprintf("%.1f MB", idleMegabytes),
         QStringLiteral("< 40 MB"),
         idleMegabytes < 40},
        {QStringLiteral("(d) end of output on screen"),
         QString::asprintf("%.1f ms", latency),
         QStringLiteral("< 100 ms"),
         latency < 100},
    };
    const double heard = figure(QStringLiteral("terminal-reader"), QStringLiteral("heard"));
    const double floodSeconds = double(mib) / figure(QStringLiteral("terminal-reader"), QStringLiteral("mibps"));
    out << "\n(e') the screen reader heard " << heard << " text changes, "
        << QString::asprintf("%.0f", heard / floodSeconds) << " a second of the flood\n";
    out << "\n(g) find, output full (" << QString::asprintf("%.0f", cap)
        << " MiB): a match near the end on screen after "
        << QString::asprintf("%.1f ms", figure(QStringLiteral("find"), QStringLiteral("near_ms")))
        << ", one near the start after "
        << QString::asprintf("%.1f ms", figure(QStringLiteral("find"), QStringLiteral("far_ms"))) << ", all "
        << QString::asprintf("%.0f", figure(QStringLiteral("find"), QStringLiteral("count")))
        << " matches of a frequent text counted after "
        << QString::asprintf("%.1f ms", figure(QStringLiteral("find"), QStringLiteral("complete_ms")))
        << "; longest stall "
        << QString::asprintf("%.1f ms", figure(QStringLiteral("find"), QStringLiteral("stall_ms"))) << "\n";
    out << "\nOutput cap " << cap << " MiB; (d) idle " << QString::asprintf("%.1f", idle)
        << " MiB before the flood\n\n";
    out << QStringLiteral("%1 %2 %3 %4\n")
               .arg(QStringLiteral("goal"), -38)
               .arg(QStringLiteral("measured"), 18)
               .arg(QStringLiteral("wanted"), 14)
               .arg(QStringLiteral("met"), 4);
    bool allMet = true;
    for (const Goal& goal : goals) {
        out << QStringLiteral("%1 %2 %3 %4\n")
                   .arg(goal.name, -38)
                   .arg(goal.value, 18)
                   .arg(goal.goal, 14)
                   .arg(goal.met ? QStringLiteral("yes") : QStringLiteral("NO"), 4);
        allMet = allMet && goal.met;
    }
    out.flush();
    return allMet ? 0 : 3;
}
