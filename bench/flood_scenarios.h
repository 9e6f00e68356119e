#pragma once

#include <QMap>
#include <QString>

// One flood of the data file through one pipeline, in this process. Each returns its figures:
// "mibps" (throughput), "stall_ms", "peak_mib", and where they apply "idle_mib" and
// "latency_ms" (from the arrival of the last line to the frame that shows it).
class FloodScenarios
{
public:
    using Figures = QMap<QString, double>;

    // The last line of the data; its arrival ends the flood.
    static constexpr char EndMarker[] = "END-OF-FLOOD";

    static Figures rawPipe(const QString& dataFile);
    static Figures captureOnly(const QString& dataFile);
    // Fed straight from the pipe, and fed by the manager and model the way the terminal view is.
    static Figures plainTextEditFromPipe(const QString& dataFile);
    static Figures plainTextEditFromModel(const QString& dataFile);
    static Figures terminalWindow(const QString& dataFile);
    // After the flood, the find bar searches a text with many matches and one with a single
    // match near the start of the output kept: "near_ms" and "far_ms" until the current match
    // is painted, "complete_ms" until all matches are counted, "stall_ms" over all of it.
    static Figures findInTerminalWindow(const QString& dataFile);
};
