#pragma once

#include <QList>

#include <algorithm>

// The middle of the measured values, the mean of the two middle ones for an even count; 0 for none.
inline double median(QList<double> values)
{
    if (values.isEmpty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}
