#include "product_scenarios.h"
#include "bench/median.h"
#include "devtools/desktop_session.h"
#include "devtools/local_dist_server.h"

#include "manager/installed_build_record.h"
#include "proc_figures.h"
#include "tests/support/program_run.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QSaveFile>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTextStream>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr int Patience = 60000;
constexpr double StopDeadlineMilliseconds = 2000;
constexpr qint64 LaunchToolBytes = 20 * 1000 * 1000;
const QString WindowOpened = QStringLiteral("🚀 Opening terminal window automatically");
const QString WindowTitle = QStringLiteral("Corvalt Terminal");

// Idles until asked to stop, and takes a moment to shut down, as a tool that saves its state.
const QByteArray GracefulBody = "trap 'sleep 0.2; exit 0' TERM\nwhile :; do sleep 3600 & wait $!; done\n";
// Refuses the polite request, and so do its children.
const QByteArray StubbornBody = "trap '' TERM\nwhile :; do sleep 3600 & wait $!; done\n";

double milliseconds(ProgramRun::Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

void progress(const QString& text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

// Runs a program to its end; its wall time in milliseconds, or -1 when it failed.
double timeRun(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.setStandardInputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForFinished(Patience)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    const double elapsed = double(clock.nsecsElapsed()) / 1e6;
    // pgrep finding nothing exits 1, as it does for the program.
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() <= 1 ? elapsed : -1;
}

QString ms(double value)
{
    return QStringLiteral("%1 ms").arg(value, 0, 'f', 0);
}

// The pictograph lines of the program, and the end of a flood; never the flood itself.
bool programLine(QByteArrayView line)
{
    return line.startsWith("🚀") || line.startsWith("🔍 Searching") || line.startsWith("📥") || line.startsWith("🪟") ||
        line.startsWith("🛑") || line.startsWith("🧹") || line.startsWith("ℹ️") || line.startsWith("✅") ||
        line.startsWith("⚠️") || line.startsWith("❌") ||
        line.startsWith("🔧 CorvaltManager outputHandler called with: ✅") || line == "flood-done";
}

} // namespace

ProductScenarios::ProductScenarios(Options options) : m_options(options) { }

ProductScenarios::~ProductScenarios() = default;

bool ProductScenarios::prepare(QString& error)
{
    if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty()) {
        error = QStringLiteral("curl is missing (apt-get install curl)");
        return false;
    }
    m_x = std::make_unique<DesktopSession>();
    if (!m_x->start(DesktopSession::Display) || !m_x->start(DesktopSession::Icewm)) {
        error = QStringLiteral("Xvfb or icewm did not start");
        return false;
    }
    return true;
}

QProcessEnvironment ProductScenarios::environment(const QString& origin) const
{
    return m_sandbox.environment(origin, m_x->environment());
}

std::unique_ptr<ProgramRun> ProductScenarios::start(const QString& origin)
{
    QFile::remove(m_sandbox.home() + QStringLiteral("/tool-report.txt"));
    auto run = std::make_unique<ProgramRun>(QStringLiteral(PLAIN_TRAY_UNDER_TEST), environment(origin));
    run->setLineFilter(programLine);
    if (!run->start()) {
        return nullptr;
    }
    return run;
}

std::unique_ptr<ProgramRun> ProductScenarios::startWithWindow(const QString& origin)
{
    auto run = start(origin);
    if (!run || !run->waitUntil([this] { return m_sandbox.toolReport().has_value(); }, Patience) ||
        !run->waitForLine(WindowOpened, Patience)) {
        progress(QStringLiteral("the program did not start its tool:\n") +
                 (run ? run->lines().join(u'\n') : QString()));
        return nullptr;
    }
    // Let the window be shown and painted before anything is measured.
    run->waitUntil([] { return false; }, 500);
    return run;
}

bool ProductScenarios::stop(ProgramRun& run)
{
    run.terminate();
    return run.waitForExit(Patience) && run.exitedNormally() && run.exitCode() == 0;
}

QString ProductScenarios::writeFile(const QString& name, const QByteArray& content) const
{
    const QString path = m_sandbox.root() + u'/' + name;
    QSaveFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(content);
    file.commit();
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    return path;
}

QString ProductScenarios::writeFloodData(const QString& name, qint64 bytes) const
{
    // Coloured log lines of a busy service.
    QByteArray data;
    data.reserve(bytes + 256);
    static const char* const Paths[] = {"/api/v1/items", "/api/v1/users/profile", "/static/app.js", "/healthz"};
    for (qint64 n = 0; data.size() < bytes; ++n) {
        data += "\x1b[2m2026-12-06T10:" + QByteArray::number(n / 60000 % 60).rightJustified(2, '0') + ':' +
            QByteArray::number(n / 1000 % 60).rightJustified(2, '0') + '.' +
            QByteArray::number(n % 1000).rightJustified(3, '0') + "Z\x1b[0m ";
        if (n % 10 == 9) {
            data += "\x1b[33mWARN \x1b[0m \x1b[36mworker-" + QByteArray::number(n % 8) +
                "\x1b[0m slow request id=" + QByteArray::number(n) + " took \x1b[1m" +
                QByteArray::number(n % 900 + 100) + "ms\x1b[22m\n";
        } else {
            data += "\x1b[32mINFO \x1b[0m \x1b[36mworker-" + QByteArray::number(n % 8) + "\x1b[0m GET " + Paths[n % 4] +
                " id=" + QByteArray::number(n) + " status=\x1b[1;32m200\x1b[0m in " + QByteArray::number(n % 97 + 1) +
                "ms\n";
        }
    }
    return writeFile(name, data);
}

bool ProductScenarios::launch(FigureTable& table)
{
    // A 20 MB build: a script that idles, padded past its end. Each round publishes a new one, with
    // a modification time of its own so that its ETag changes too.
    QByteArray tool = TestSandbox::toolScript(GracefulBody + "exit 0\n");
    tool += QByteArray(LaunchToolBytes - tool.size() - 1, '#') + '\n';
    LocalDistServer server;
    const QString etagFile = m_sandbox.root() + QStringLiteral("/curl-etag");
    const QString curlDownload = m_sandbox.root() + QStringLiteral("/curl-download");
    const auto curl = [&](const QStringList& conditions, qint64& bytes) {
        const qint64 before = server.bytesWritten();
        const double elapsed = timeRun(
            QStringLiteral("curl"),
            QStringList{QStringLiteral("-sSf"), QStringLiteral("--cacert"), QStringLiteral(TEST_CERT_DIR "/ca.pem")} +
                conditions + QStringList{server.origin() + QStringLiteral("/static/cli/") + TestSandbox::AssetName},
            QProcessEnvironment::systemEnvironment());
        bytes = server.bytesWritten() - before;
        return elapsed;
    };

    QList<double> launches, unchangedLaunches, searches, shells, downloads, conditionals, authorities, bareStarts;
    // Per step of the launch, for the changed build and the unchanged one.
    QList<double> steps[2][5];
    qint64 changedBytes = 0, unchangedBytes = 0, curlBytes = 0, curlConditionalBytes = 0;
    // The first round warms the caches and is not counted.
    for (int round = 0; round <= m_options.launches; ++round) {
        progress(QStringLiteral("launch %1 of %2").arg(round).arg(m_options.launches));
        tool.replace(tool.size() - 12, 10, QByteArray::number(round).rightJustified(10, '#'));
        const QString file = writeFile(QStringLiteral("tool-20mb"), tool);
        QFile published(file);
        published.open(QIODevice::ReadWrite);
        published.setFileTime(QDateTime::currentDateTimeUtc().addSecs(round - 3600), QFile::FileModificationTime);
        published.close();
        if (!server.start(TestSandbox::AssetName, file, server.port())) {
            progress(QStringLiteral("the distribution server did not start"));
            return false;
        }
        const QProcessEnvironment shellEnvironment = environment(server.origin());
        const double search = timeRun(QStringLiteral("/usr/bin/pgrep"),
                                      {QStringLiteral("-f"), m_sandbox.word()},
                                      QProcessEnvironment::systemEnvironment());
        const double shell =
            timeRun(QStringLiteral("/bin/zsh"),
                    {QStringLiteral("-l"), QStringLiteral("-i"), QStringLiteral("-c"), QStringLiteral("true")},
                    shellEnvironment);
        // The program's own requests: the whole build with its validators kept, then the same
        // build asked for with them (If-None-Match and If-Modified-Since).
        const double download =
            curl({QStringLiteral("-R"), QStringLiteral("--etag-save"), etagFile, QStringLiteral("-o"), curlDownload},
                 curlBytes);
        const double conditional = curl({QStringLiteral("--etag-compare"),
                                         etagFile,
                                         QStringLiteral("-z"),
                                         curlDownload,
                                         QStringLiteral("-o"),
                                         m_sandbox.root() + QStringLiteral("/curl-conditional")},
                                        curlConditionalBytes);

        const double bareStart =
            timeRun(QStringLiteral(BARE_TRAY), {QStringLiteral("--exit-when-running")}, m_x->environment());
        QElapsedTimer authoritiesClock;
        authoritiesClock.start();
        const qsizetype authorityCount = QSslConfiguration::systemCaCertificates().size();
        const double authoritiesLoad = authorityCount > 0 ? double(authoritiesClock.nsecsElapsed()) / 1e6 : 0;

        // The new build (200), then the same again (304).
        QList<double> launchTimes;
        for (const bool changed : {true, false}) {
            const qint64 bytesBefore = server.bytesWritten();
            const auto run = start(server.origin());
            const QString started =
                QStringLiteral("🔧 CorvaltManager outputHandler called with: ✅ CLI started successfully in zsh");
            const QString installed = !changed ? QStringLiteral("ℹ️ CLI is already the latest version")
                : round == 0                   ? QStringLiteral("✅ CLI installed successfully")
                                               : QStringLiteral("✅ CLI updated successfully");
            if (!run || !run->waitForLine(started, Patience) ||
                !run->waitUntil([this] { return m_sandbox.toolReport().has_value(); }, Patience) ||
                run->indexOf(installed) < 0) {
                progress(QStringLiteral("the program did not start its tool as expected:\n") +
                         (run ? run->lines().join(u'\n') : QString()));
                return false;
            }
            launchTimes.append(milliseconds(run->lineReadAt(run->indexOf(started)) - run->startedAt()));
            // Where the time goes, from the program's own lines.
            const auto at = [&run](const QString& line) {
                const qsizetype index = run->indexOf(line);
                return index < 0 ? run->startedAt() : run->lineReadAt(index);
            };
            // Start-up, sweep, download set-up, transfer and install, shell start; what lies
            // between these is too small to show.
            const QList<std::pair<ProgramRun::Clock::time_point, ProgramRun::Clock::time_point>> marks{
                {run->startedAt(), at(QStringLiteral("🚀 AppDelegate applicationDidFinishLaunching called"))},
                {at(QStringLiteral("🔍 Searching for existing corvalt processes...")),
                 at(QStringLiteral("📥 Downloading latest CLI version..."))},
                {at(QStringLiteral("📥 Update mode: true")), at(QStringLiteral("🚀 downloadAndRunCLI called"))},
                {at(QStringLiteral("🚀 downloadAndRunCLI called")), at(installed)},
                {at(installed), run->lineReadAt(run->indexOf(started))}};
            if (!stop(*run)) {
                progress(QStringLiteral("a launch round failed"));
                return false;
            }
            (changed ? changedBytes : unchangedBytes) = server.bytesWritten() - bytesBefore;
            if (round > 0) {
                for (qsizetype step = 0; step < marks.size(); ++step) {
                    steps[changed ? 0 : 1][step].append(milliseconds(marks.at(step).second - marks.at(step).first));
                }
            }
        }
        if (search < 0 || shell < 0 || download < 0 || conditional < 0 || bareStart < 0) {
            progress(QStringLiteral("a launch round failed"));
            return false;
        }
        if (round > 0) {
            launches.append(launchTimes.at(0));
            unchangedLaunches.append(launchTimes.at(1));
            searches.append(search);
            shells.append(shell);
            downloads.append(download);
            conditionals.append(conditional);
            authorities.append(authoritiesLoad);
            bareStarts.append(bareStart);
        }
    }

    const auto breakdown = [](const QList<double>(&times)[5], const QString& download) {
        return QStringLiteral("start-up to the launch sequence %1, sweep %2, download set-up %3, %4 %5, shell "
                              "start %6")
            .arg(ms(median(times[0])),
                 ms(median(times[1])),
                 ms(median(times[2])),
                 download,
                 ms(median(times[3])),
                 ms(median(times[4])));
    };
    const double parts = median(searches) + median(shells) + median(downloads);
    const double measured = median(launches);
    table.add({QStringLiteral("Launch to \"✅ CLI started successfully in zsh\", 20 MB tool, median of %1")
                   .arg(m_options.launches),
               ms(measured),
               QStringLiteral("parts %1 (pgrep %2 + zsh -l -i -c true %3 + curl %4)")
                   .arg(ms(parts), ms(median(searches)), ms(median(shells)), ms(median(downloads))),
               FigureTable::ratio(measured, parts),
               QStringLiteral("≤ parts + 100 ms"),
               FigureTable::met(measured <= parts + 100, ms(measured - parts - 100))});
    table.add({QStringLiteral("… where the launch's time goes (medians, from the program's log)"),
               breakdown(steps[0], QStringLiteral("transfer and install")),
               QStringLiteral("a Qt Widgets program with only a tray icon, start to exit from its running event "
                              "loop %1; pgrep %2; zsh %3; curl %4")
                   .arg(ms(median(bareStarts)), ms(median(searches)), ms(median(shells)), ms(median(downloads))),
               QStringLiteral("–"),
               QStringLiteral("–"),
               QString()});
    // A build that trusts an authority of its own (CORVALT_EXTRA_CA_CERTS, as the one measured
    // here) loads the system's authorities up front, on the main thread; a build without one
    // lets the TLS library look up the one it needs during the handshake.
    const double load = median(authorities);
    table.add({QStringLiteral("… the same less loading the system's %1 authorities, which only builds with "
                              "CORVALT_EXTRA_CA_CERTS do")
                   .arg(QSslConfiguration::systemCaCertificates().size()),
               QStringLiteral("%1 (load %2)").arg(ms(measured - load), ms(load)),
               QStringLiteral("parts %1").arg(ms(parts)),
               FigureTable::ratio(measured - load, parts),
               QStringLiteral("≤ parts + 100 ms"),
               FigureTable::met(measured - load <= parts + 100, ms(measured - load - parts - 100))});

    const double unchangedParts = median(searches) + median(shells) + median(conditionals);
    const double unchanged = median(unchangedLaunches) - load;
    table.add({QStringLiteral("Launch, the 20 MB build unchanged (304), as shipped (less the authorities' load)"),
               QStringLiteral("%1 (%2 with the load)").arg(ms(unchanged), ms(unchanged + load)),
               QStringLiteral("parts %1 (pgrep %2 + zsh %3 + curl with the same conditional request %4)")
                   .arg(ms(unchangedParts), ms(median(searches)), ms(median(shells)), ms(median(conditionals))),
               FigureTable::ratio(unchanged, unchangedParts),
               QStringLiteral("≤ parts + 50 ms"),
               FigureTable::met(unchanged <= unchangedParts + 50, ms(unchanged - unchangedParts - 50))});
    table.add({QStringLiteral("… where its time goes (medians, from the program's log)"),
               breakdown(steps[1], QStringLiteral("conditional request and 304")),
               QStringLiteral("a Qt Widgets program with only a tray icon, start to exit from its running event "
                              "loop %1")
                   .arg(ms(median(bareStarts))),
               QStringLiteral("–"),
               QStringLiteral("–"),
               QString()});
    table.add({QStringLiteral("… bytes the server sent for one launch (TLS included)"),
               QStringLiteral("changed build %1, unchanged build %2").arg(changedBytes).arg(unchangedBytes),
               QStringLiteral("curl: whole build %1, conditional request %2").arg(curlBytes).arg(curlConditionalBytes),
               FigureTable::ratio(double(unchangedBytes), double(changedBytes)),
               QStringLiteral("–"),
               QString()});
    return checkInstalledBuild(table, server.origin());
}

// What trusting the installed build costs at each launch: the record read and the file's
// identity compared, beside what hashing the whole build would cost instead.
bool ProductScenarios::checkInstalledBuild(FigureTable& table, const QString& origin) const
{
    const InstalledBuildRecord record(m_sandbox.home() + QStringLiteral("/.config/Corvalt/corvalt-tray.conf"));
    const QUrl url(origin + QStringLiteral("/static/cli/") + TestSandbox::AssetName);
    QList<double> checks, hashes;
    for (int round = 0; round < 200; ++round) {
        QElapsedTimer clock;
        clock.start();
        const bool recorded = !record.validatorsFor(url, m_sandbox.toolPath(), {}).isEmpty();
        checks.append(double(clock.nsecsElapsed()) / 1e6);
        if (!recorded) {
            progress(QStringLiteral("the installed build is not recorded"));
            return false;
        }
    }
    for (int round = 0; round < 5; ++round) {
        QFile file(m_sandbox.toolPath());
        QElapsedTimer clock;
        clock.start();
        QCryptographicHash hash(QCryptographicHash::Blake2b_512);
        if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
            return false;
        }
        hashes.append(double(clock.nsecsElapsed()) / 1e6);
    }
    table.add({QStringLiteral("Is the installed 20 MB build still the recorded one? (record read, lstat)"),
               QStringLiteral("%1 ms").arg(median(checks), 0, 'f', 2),
               QStringLiteral("hashing the whole file (BLAKE2b-512, cached) %1").arg(ms(median(hashes))),
               FigureTable::ratio(median(checks), median(hashes)),
               QStringLiteral("–"),
               QString()});
    return true;
}

bool ProductScenarios::quit(FigureTable& table)
{
    struct Case
    {
        QByteArray body;
        bool graceful;
    };
    for (const Case& quitCase : {Case{GracefulBody, true}, Case{StubbornBody, false}}) {
        const QByteArray tool = TestSandbox::toolScript(quitCase.body);
        LocalDistServer server;
        if (!server.start(TestSandbox::AssetName, writeFile(QStringLiteral("tool-quit"), tool))) {
            return false;
        }
        QList<double> quits, ownExits;
        for (int round = 0; round <= m_options.quits; ++round) {
            progress(QStringLiteral("quit %1 %2 of %3")
                         .arg(quitCase.graceful ? QStringLiteral("graceful") : QStringLiteral("stubborn"))
                         .arg(round)
                         .arg(m_options.quits));
            if (quitCase.graceful) {
                // The tool's own exit: started as the program starts it, in a session of its own,
                // and sent SIGTERM as the program sends it, to its whole group.
                // writeScript() adds the "#!/bin/sh" line that the tool script starts with.
                TestSandbox::writeScript(m_sandbox.toolPath(), tool.sliced(tool.indexOf('\n') + 1));
                QFile::remove(m_sandbox.home() + QStringLiteral("/tool-report.txt"));
                QProcess shell;
                shell.setProcessEnvironment(environment(server.origin()));
                shell.setStandardOutputFile(QProcess::nullDevice());
                shell.setStandardInputFile(QProcess::nullDevice());
                shell.setChildProcessModifier([] {
                    ::setsid();
                    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                });
                const QString quoted = u'\'' + m_sandbox.toolPath() + u'\'';
                shell.start(QStringLiteral("/bin/zsh"),
                            {QStringLiteral("-l"),
                             QStringLiteral("-i"),
                             QStringLiteral("-c"),
                             quoted + QStringLiteral(" --color=always 2>/dev/null || ") + quoted});
                if (!shell.waitForStarted(Patience) ||
                    !ProgramRun::waitUntil([this] { return m_sandbox.toolReport().has_value(); }, Patience)) {
                    return false;
                }
                QElapsedTimer clock;
                clock.start();
                ::kill(-pid_t(shell.processId()), SIGTERM);
                shell.waitForFinished(Patience);
                if (round > 0) {
                    ownExits.append(double(clock.nsecsElapsed()) / 1e6);
                }
            }

            const auto run = startWithWindow(server.origin());
            if (!run) {
                return false;
            }
            const ProgramRun::Clock::time_point asked = ProgramRun::Clock::now();
            if (!stop(*run)) {
                return false;
            }
            if (round > 0) {
                quits.append(milliseconds(run->exitedAt() - asked));
            }
        }
        const double measured = median(quits);
        // A graceful tool is measured against its own exit, a stubborn one against the deadline.
        const bool graceful = quitCase.graceful;
        const double reference = graceful ? median(ownExits) : StopDeadlineMilliseconds;
        table.add(
            {QStringLiteral("Quit (SIGTERM) to program exit, tool %1, median of %2")
                 .arg(graceful ? QStringLiteral("ends on SIGTERM") : QStringLiteral("ignores SIGTERM"))
                 .arg(m_options.quits),
             ms(measured),
             (graceful ? QStringLiteral("the tool's own exit on SIGTERM %1") : QStringLiteral("the stop deadline %1"))
                 .arg(ms(reference)),
             FigureTable::ratio(measured, reference),
             graceful ? QStringLiteral("≤ tool + 100 ms") : QStringLiteral("≤ 2000 ms + 100 ms"),
             FigureTable::met(measured <= reference + 100, ms(measured - reference - 100))});
    }
    return true;
}

bool ProductScenarios::idle(FigureTable& table)
{
    LocalDistServer server;
    if (!server.start(TestSandbox::AssetName,
                      writeFile(QStringLiteral("tool-idle"), TestSandbox::toolScript(GracefulBody)))) {
        return false;
    }
    const auto run = startWithWindow(server.origin());
    if (!run) {
        return false;
    }
    // Closed as a user closes it, through the window manager.
    const bool shown = run->waitUntil(
        [this] {
            QByteArray windows;
            return m_x->run(QStringLiteral("wmctrl -l"), &windows) && windows.contains(WindowTitle.toUtf8());
        },
        Patience);
    if (!shown || !m_x->run(QStringLiteral("wmctrl -c '%1'").arg(WindowTitle)) ||
        !run->waitForLine(QStringLiteral("🪟 Window closing notification received"), Patience)) {
        progress(QStringLiteral("the window could not be closed"));
        return false;
    }
    run->waitUntil([] { return false; }, 3000);

    // The reference idles beside it over the same minute.
    QProcess bare;
    bare.setProcessEnvironment(m_x->environment());
    bare.setStandardOutputFile(QProcess::nullDevice());
    bare.setStandardErrorFile(QProcess::nullDevice());
    bare.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    bare.start(QStringLiteral(BARE_TRAY), {});
    if (!bare.waitForStarted(Patience)) {
        return false;
    }
    run->waitUntil([] { return false; }, 3000);
    const qint64 barePid = bare.processId();
    const qint64 bareCpuBefore = ProcFigures::cpuNanoseconds(barePid);

    progress(QStringLiteral("idle for %1 s").arg(m_options.idleSeconds));
    const qint64 pid = run->processId();
    const qint64 cpuBefore = ProcFigures::cpuNanoseconds(pid);
    const QHash<qint64, qint64> switchesBefore = ProcFigures::contextSwitches(pid);
    const qint64 logBefore = run->logBytes();
    QElapsedTimer clock;
    clock.start();
    qint64 largest = 0;
    for (int second = 0; second < m_options.idleSeconds; ++second) {
        run->waitUntil([] { return false; }, 1000);
        largest = std::max(largest, ProcFigures::statusBytes(pid, "VmRSS"));
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const double cpuMilliseconds = double(ProcFigures::cpuNanoseconds(pid) - cpuBefore) / 1e6;
    // Threads that ended meanwhile took their counts with them; those that began count whole.
    qint64 switches = 0;
    const QHash<qint64, qint64> switchesAfter = ProcFigures::contextSwitches(pid);
    for (auto it = switchesAfter.cbegin(); it != switchesAfter.cend(); ++it) {
        switches += it.value() - switchesBefore.value(it.key(), 0);
    }
    const qint64 logged = run->logBytes() - logBefore;
    const double resident = double(ProcFigures::statusBytes(pid, "VmRSS")) / 1e6;
    const double anonymous = double(ProcFigures::statusBytes(pid, "RssAnon")) / 1e6;
    const double files = double(ProcFigures::statusBytes(pid, "RssFile")) / 1e6;
    const double shared = double(ProcFigures::statusBytes(pid, "RssShmem")) / 1e6;
    const double proportional = double(ProcFigures::proportionalBytes(pid)) / 1e6;
    const double bareResident = double(ProcFigures::statusBytes(barePid, "VmRSS")) / 1e6;
    const double bareCpuMilliseconds = double(ProcFigures::cpuNanoseconds(barePid) - bareCpuBefore) / 1e6;
    bare.kill();
    bare.waitForFinished();
    if (!stop(*run)) {
        return false;
    }

    table.add({QStringLiteral("Idle resident memory, window closed, tool idle (%1 s)").arg(m_options.idleSeconds),
               QStringLiteral("%1 MB (largest %2 MB): %3 MB its own, %4 MB pages of mapped files (libraries, "
                              "fonts), %5 MB shared memory; proportional share %6 MB")
                   .arg(resident, 0, 'f', 1)
                   .arg(double(largest) / 1e6, 0, 'f', 1)
                   .arg(anonymous, 0, 'f', 1)
                   .arg(files, 0, 'f', 1)
                   .arg(shared, 0, 'f', 1)
                   .arg(proportional, 0, 'f', 1),
               QStringLiteral("a Qt Widgets program with only a tray icon %1 MB").arg(bareResident, 0, 'f', 1),
               FigureTable::ratio(resident, bareResident),
               QStringLiteral("< 40 MB"),
               FigureTable::met(resident < 40, QStringLiteral("%1 MB").arg(resident - 40, 0, 'f', 1))});
    const double percent = cpuMilliseconds / (seconds * 1000) * 100;
    table.add({QStringLiteral("Idle CPU time, window closed, tool idle (%1 s)").arg(m_options.idleSeconds),
               QStringLiteral("%1 % of one core (%2 ms; %3 wake-up%4, %5 log bytes)")
                   .arg(percent, 0, 'f', 3)
                   .arg(cpuMilliseconds, 0, 'f', 0)
                   .arg(switches)
                   .arg(switches == 1 ? QString() : QStringLiteral("s"))
                   .arg(logged),
               QStringLiteral("a Qt Widgets program with only a tray icon %1 ms").arg(bareCpuMilliseconds, 0, 'f', 0),
               FigureTable::ratio(cpuMilliseconds, bareCpuMilliseconds),
               QStringLiteral("< 0.1 %, no polling"),
               FigureTable::met(percent < 0.1, QStringLiteral("%1 points").arg(percent - 0.1, 0, 'f', 3))});
    return true;
}

bool ProductScenarios::logVolume(FigureTable& table)
{
    struct Case
    {
        QString label;
        int mib;
        QByteArray command;
    };
    const QList<Case> cases{
        {QStringLiteral("in large writes"), m_options.floodMiB, "cat"},
        {QStringLiteral("one write per line"), m_options.lineFloodMiB, "awk '{ print; fflush() }'"},
    };
    for (const Case& flood : cases) {
        progress(QStringLiteral("log volume, %1 MiB %2").arg(flood.mib).arg(flood.label));
        const QString data = writeFloodData(QStringLiteral("flood.log"), qint64(flood.mib) * 1024 * 1024);
        const qint64 dataBytes = QFile(data).size();
        // The flood waits for the word, so that the launch's own lines are not counted.
        const QByteArray body = "while [ ! -e \"$HOME/go\" ]; do sleep 0.05; done\n" + flood.command + " '" +
            QFile::encodeName(data) + "'\nprintf 'flood-done\\n'\n" + GracefulBody;
        LocalDistServer server;
        if (!server.start(TestSandbox::AssetName,
                          writeFile(QStringLiteral("tool-flood"), TestSandbox::toolScript(body)))) {
            return false;
        }
        const QString go = m_sandbox.home() + QStringLiteral("/go");
        QFile::remove(go);
        const auto run = startWithWindow(server.origin());
        if (!run) {
            return false;
        }
        run->waitUntil([] { return false; }, 1000);
        const qint64 before = run->logBytes();
        QFile(go).open(QIODevice::WriteOnly);
        if (!run->waitForLine(QStringLiteral("flood-done"), 10 * Patience)) {
            progress(QStringLiteral("the flood did not end"));
            return false;
        }
        // The last pieces' own log lines follow the end mark.
        run->waitUntil([] { return false; }, 1000);
        const qint64 logged = run->logBytes() - before;
        QFile::remove(go);
        if (!stop(*run)) {
            return false;
        }
        const double perByte = double(logged) / double(dataBytes);
        table.add(
            {QStringLiteral("Log bytes per byte of tool output, %1 MiB flood %2").arg(flood.mib).arg(flood.label),
             QStringLiteral("%1 (%2 MiB logged)").arg(perByte, 0, 'f', 2).arg(double(logged) / 1048576, 0, 'f', 0),
             QStringLiteral("the tool's output, %1 MiB").arg(double(dataBytes) / 1048576, 0, 'f', 0),
             QString::number(perByte, 'f', 2),
             QStringLiteral("≤ 3"),
             FigureTable::met(perByte <= 3, QString::number(perByte - 3, 'f', 2))});
    }
    return true;
}

bool ProductScenarios::soak(int minutes, QTextStream& out)
{
    // 1 MB a second, in ten pieces, paced by the clock so that slow pieces are caught up.
    const QString block = writeFloodData(QStringLiteral("block.log"), 100 * 1000);
    const QByteArray body = "start=$(date +%s%N)\ni=0\nwhile :; do\n    cat '" + QFile::encodeName(block) +
        "'\n    i=$((i + 1))\n    while [ $(date +%s%N) -lt $((start + i * 100000000)) ]; do sleep 0.02; done\n"
        "done\n";
    LocalDistServer server;
    if (!server.start(TestSandbox::AssetName,
                      writeFile(QStringLiteral("tool-soak"), TestSandbox::toolScript("trap 'exit 0' TERM\n" + body)))) {
        return false;
    }
    const auto run = startWithWindow(server.origin());
    if (!run) {
        return false;
    }
    const QStringList sockets = QDir(m_sandbox.runtimeDir()).entryList({QStringLiteral("*.socket")}, QDir::System);
    if (sockets.isEmpty()) {
        progress(QStringLiteral("the program does not listen for other launches"));
        return false;
    }
    const QString socketPath = m_sandbox.runtimeDir() + u'/' + sockets.first();
    const qint64 pid = run->processId();

    out << QStringLiteral("Soak: a tool writing 1 MB/s for %1 minutes; a request for the window every 5 s\n\n")
               .arg(minutes);
    out << "| Minute | Resident | Peak resident | Logged this minute | Window requests answered | Slowest answer |\n"
           "|---:|---:|---:|---:|---:|---:|\n";
    out.flush();
    QList<double> residents;
    bool allAnswered = true;
    for (int minute = 1; minute <= minutes; ++minute) {
        const qint64 loggedBefore = run->logBytes();
        int answered = 0;
        int asked = 0;
        double slowest = 0;
        for (int ping = 0; ping < 12; ++ping) {
            run->waitUntil([] { return false; }, 5000);
            // Asked without blocking: the program's log must keep flowing meanwhile, or its
            // writes would stall it and the answer with them.
            QLocalSocket socket;
            QByteArray answer;
            QElapsedTimer clock;
            double answeredAfter = -1;
            QObject::connect(&socket, &QLocalSocket::connected, [&socket] { socket.write("show-window\n"); });
            QObject::connect(&socket, &QLocalSocket::readyRead, [&] {
                answer += socket.readAll();
                if (answer.contains('\n') && answeredAfter < 0) {
                    answeredAfter = double(clock.nsecsElapsed()) / 1e6;
                }
            });
            clock.start();
            socket.connectToServer(socketPath);
            ++asked;
            run->waitUntil([&] { return answeredAfter >= 0 || socket.state() == QLocalSocket::UnconnectedState; },
                           10000);
            if (answer == "ok\n") {
                ++answered;
                slowest = std::max(slowest, answeredAfter);
            } else {
                progress(QStringLiteral("minute %1: answer \"%2\" after %3 ms: %4")
                             .arg(minute)
                             .arg(QString::fromUtf8(answer.trimmed()))
                             .arg(double(clock.nsecsElapsed()) / 1e6, 0, 'f', 0)
                             .arg(socket.errorString()));
            }
        }
        allAnswered = allAnswered && answered == asked;
        const double resident = double(ProcFigures::statusBytes(pid, "VmRSS")) / 1e6;
        residents.append(resident);
        out << QStringLiteral("| %1 | %2 MB | %3 MB | %4 MB | %5 of %6 | %7 ms |\n")
                   .arg(minute)
                   .arg(resident, 0, 'f', 1)
                   .arg(double(ProcFigures::statusBytes(pid, "VmHWM")) / 1e6, 0, 'f', 1)
                   .arg(double(run->logBytes() - loggedBefore) / 1e6, 0, 'f', 1)
                   .arg(answered)
                   .arg(asked)
                   .arg(slowest, 0, 'f', 1);
        out.flush();
    }
    if (!stop(*run)) {
        return false;
    }
    if (residents.size() >= 3) {
        const double settled = residents.at(1);
        out << QStringLiteral("\nResident memory from minute 2 to minute %1: %2 MB to %3 MB (%4%5 MB)%6\n")
                   .arg(minutes)
                   .arg(settled, 0, 'f', 1)
                   .arg(residents.constLast(), 0, 'f', 1)
                   .arg(residents.constLast() >= settled ? QStringLiteral("+") : QString())
                   .arg(residents.constLast() - settled, 0, 'f', 1)
                   .arg(allAnswered ? QStringLiteral("; every request for the window was answered")
                                    : QStringLiteral("; SOME REQUESTS FOR THE WINDOW WENT UNANSWERED"));
    }
    return true;
}
