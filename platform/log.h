#pragma once

#include <QStringView>

// Diagnostic log lines on standard output. Each line is flushed at once so that a supervising
// program sees it as it happens.
class Log
{
public:
    static void print(QStringView line);
};
