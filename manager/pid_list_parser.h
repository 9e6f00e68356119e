#pragma once

#include <QByteArray>
#include <QList>

// Reads the process ids that the search program printed, one per line.
class PidListParser
{
public:
    // Empty when the bytes are not valid UTF-8 or no line holds a plain decimal 32-bit number.
    static QList<qint32> parse(const QByteArray& searchOutput);
};
