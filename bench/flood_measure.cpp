#include "flood_measure.h"

#include <QFile>

namespace {

double statusFieldMiB(const QByteArray& field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(field.size()).trimmed().split(' ').first().toDouble() / 1024.0;
        }
    }
    return 0;
}

} // namespace

FloodMeasure::FloodMeasure()
{
    m_ticker.setTimerType(Qt::PreciseTimer);
    m_ticker.setInterval(TickMilliseconds);
    connect(&m_ticker, &QTimer::timeout, this, &FloodMeasure::onTick);
}

void FloodMeasure::start()
{
    m_clock.start();
    m_lastTick = 0;
    m_maxStallNanoseconds = 0;
    m_ticker.start();
}

void FloodMeasure::stop()
{
    m_elapsedNanoseconds = m_clock.nsecsElapsed();
    onTick();
    m_ticker.stop();
}

void FloodMeasure::onTick()
{
    const qint64 now = m_clock.nsecsElapsed();
    m_maxStallNanoseconds = std::max(m_maxStallNanoseconds, now - m_lastTick - TickMilliseconds * 1000000LL);
    m_lastTick = now;
}

double FloodMeasure::residentMiB()
{
    return statusFieldMiB("VmRSS:");
}

double FloodMeasure::peakResidentMiB()
{
    return statusFieldMiB("VmHWM:");
}
