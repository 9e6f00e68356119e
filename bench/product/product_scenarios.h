#pragma once

#include "figure_table.h"
#include "tests/support/test_sandbox.h"

#include <QString>

#include <memory>

class ProgramRun;
class DesktopSession;
class QProcessEnvironment;
class QTextStream;

// The whole tray program measured as a user runs it: on a virtual X display with icewm as tray
// host, against a loopback HTTPS server, in a temporary home. Each figure is measured beside its
// reference in the same run.
class ProductScenarios
{
public:
    struct Options
    {
        int launches = 10;
        int quits = 5;
        int idleSeconds = 60;
        int floodMiB = 256;
        int lineFloodMiB = 32;
    };

    explicit ProductScenarios(Options options);
    ~ProductScenarios();

    // Starts the display and checks the tools the references need; false with a reason.
    bool prepare(QString& error);

    // Each round a changed build (200) and the same build again (304).
    bool launch(FigureTable& table);
    bool quit(FigureTable& table);
    bool idle(FigureTable& table);
    bool logVolume(FigureTable& table);
    // A tool writing 1 MB/s for the given time; prints a sample every minute.
    bool soak(int minutes, QTextStream& out);

private:
    QProcessEnvironment environment(const QString& origin) const;
    std::unique_ptr<ProgramRun> start(const QString& origin);
    // Serves the tool, launches the program and waits until the tool runs and the window is up.
    std::unique_ptr<ProgramRun> startWithWindow(const QString& origin);
    static bool stop(ProgramRun& run);
    bool checkInstalledBuild(FigureTable& table, const QString& origin) const;
    QString writeFile(const QString& name, const QByteArray& content) const;
    QString writeFloodData(const QString& name, qint64 bytes) const;

    Options m_options;
    TestSandbox m_sandbox;
    std::unique_ptr<DesktopSession> m_x;
};
