#include "platform/log.h"

#include <QByteArray>
#include <QString>

#include <cstdio>

void Log::print(QStringView line)
{
    QByteArray bytes = line.toUtf8();
    bytes.append('\n');
    // One write per line keeps lines from different threads whole.
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}
