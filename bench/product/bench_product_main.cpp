// Measures the whole tray program as the user meets it and prints one table: every figure beside
// its reference from the same run, with the ratio and the goal; the terminal window's flood
// figures come from bench_terminal_flood, run here too. Not a test: nothing here passes or fails.
#include "figure_table.h"
#include "product_scenarios.h"
#include "terminal_flood_figures.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSysInfo>
#include <QTextStream>
#include <QThread>

#include <cstdio>

namespace {

QString processorName()
{
    QFile file(QStringLiteral("/proc/cpuinfo"));
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (line.startsWith("model name")) {
                return QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
            }
        }
    }
    return QSysInfo::currentCpuArchitecture();
}

// The program's own warnings (its stderr, passed on as info) would bury the progress lines.
void dropInfo(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtInfoMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
    }
}

// Other work on the machine skews every figure: the table says how busy it was.
QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readLine().split(' ').value(0))
                                          : QStringLiteral("?");
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(dropInfo);
    // The program under measurement shows the windows; this process needs no display.
    const QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Measures the tray program and prints one table of figures."));
    parser.addHelpOption();
    const auto option = [&parser](const QString& name, const QString& help, const QString& value) {
        const QCommandLineOption created(name, help, QStringLiteral("n"), value);
        parser.addOption(created);
        return created;
    };
    const QCommandLineOption launches =
        option(QStringLiteral("launches"), QStringLiteral("Launches to time (median)."), QStringLiteral("10"));
    const QCommandLineOption quits =
        option(QStringLiteral("quits"), QStringLiteral("Quits of each kind to time (median)."), QStringLiteral("5"));
    const QCommandLineOption idleSeconds =
        option(QStringLiteral("idle-seconds"), QStringLiteral("Length of the idle measurement."), QStringLiteral("60"));
    const QCommandLineOption floodMiB =
        option(QStringLiteral("flood-mib"), QStringLiteral("MiB of the log-volume flood."), QStringLiteral("256"));
    const QCommandLineOption terminalRuns = option(QStringLiteral("terminal-runs"),
                                                   QStringLiteral("Runs of bench_terminal_flood; 0 leaves it out."),
                                                   QStringLiteral("3"));
    const QCommandLineOption only(QStringLiteral("only"),
                                  QStringLiteral("Comma-separated parts: launch, quit, idle, log, terminal."),
                                  QStringLiteral("parts"),
                                  QStringLiteral("launch,quit,idle,log,terminal"));
    parser.addOption(only);
    const QCommandLineOption terminalOutput(
        QStringLiteral("terminal-flood-output"),
        QStringLiteral("Read a saved output of bench_terminal_flood instead of running it."),
        QStringLiteral("file"));
    parser.addOption(terminalOutput);
    const QCommandLineOption soakMinutes =
        option(QStringLiteral("soak"), QStringLiteral("Instead of the table: a soak of this many minutes."), QString());
    parser.process(application);

    QTextStream out(stdout);
    ProductScenarios::Options options;
    options.launches = std::max(1, parser.value(launches).toInt());
    options.quits = std::max(1, parser.value(quits).toInt());
    options.idleSeconds = std::max(1, parser.value(idleSeconds).toInt());
    options.floodMiB = std::max(1, parser.value(floodMiB).toInt());
    options.lineFloodMiB = std::min(options.floodMiB, 32);
    ProductScenarios scenarios(options);
    QString error;
    if (!scenarios.prepare(error)) {
        std::fprintf(stderr, "bench_product: %s\n", qPrintable(error));
        return 1;
    }

    const QString machine = QStringLiteral("%1 cores (%2), %3, Qt %4")
                                .arg(QThread::idealThreadCount())
                                .arg(processorName(), QSysInfo::prettyProductName(), QString::fromLatin1(qVersion()));
    if (parser.isSet(soakMinutes)) {
        out << "Machine: " << machine << "\n\n";
        return scenarios.soak(std::max(1, parser.value(soakMinutes).toInt()), out) ? 0 : 1;
    }

    const QString loadBefore = loadAverage();
    const QStringList parts = parser.value(only).split(u',');
    FigureTable table;
    if ((parts.contains(u"launch") && !scenarios.launch(table)) ||
        (parts.contains(u"quit") && !scenarios.quit(table)) || (parts.contains(u"idle") && !scenarios.idle(table)) ||
        (parts.contains(u"log") && !scenarios.logVolume(table))) {
        std::fprintf(stderr, "bench_product: a measurement failed\n");
        return 1;
    }
    const int runs = parser.value(terminalRuns).toInt();
    if (runs > 0 && parts.contains(u"terminal")) {
        if (!parser.isSet(terminalOutput)) {
            std::fprintf(stderr, "terminal flood, %d runs (about %d minutes)\n", runs, runs * 2 / 3 + 1);
        }
        TerminalFloodFigures flood;
        QFile saved(parser.value(terminalOutput));
        const bool measured = parser.isSet(terminalOutput)
            ? saved.open(QIODevice::ReadOnly) && flood.parse(QString::fromUtf8(saved.readAll()))
            : flood.run(QStringLiteral(TERMINAL_FLOOD_BENCH), runs);
        if (!measured) {
            std::fprintf(stderr, "bench_product: bench_terminal_flood failed:\n%s\n", qPrintable(flood.output()));
            return 1;
        }
        flood.addTo(table);
    }

    out << "Machine: " << machine << "; load average " << loadBefore << " before the run, " << loadAverage()
        << " after; the program on Xvfb with icewm as tray host, loopback HTTPS\n\n";
    out << table.markdown();
    out << (table.allMet() ? "\nEvery goal met.\n" : "\nSome goals missed: see the Met column.\n");
    return 0;
}
