#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// What a flood run measures in its own process: wall time, how late a fast timer fires on the
// main thread (the longest stall of the event loop), and resident memory.
class FloodMeasure : public QObject
{
    Q_OBJECT

public:
    static constexpr int TickMilliseconds = 5;

    FloodMeasure();

    void start();
    void stop();
    double seconds() const { return double(m_elapsedNanoseconds) / 1e9; }
    double elapsedSeconds() const { return double(m_clock.nsecsElapsed()) / 1e9; }
    double maxStallMilliseconds() const { return double(m_maxStallNanoseconds) / 1e6; }

    // From /proc/self/status, in MiB.
    static double residentMiB();
    static double peakResidentMiB();

private:
    void onTick();

    QElapsedTimer m_clock;
    QTimer m_ticker;
    qint64 m_lastTick = 0;
    qint64 m_maxStallNanoseconds = 0;
    qint64 m_elapsedNanoseconds = 0;
};
