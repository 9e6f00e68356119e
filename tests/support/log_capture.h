#pragma once

#include "tests/support/in_order.h"

#include <QStringList>
#include <QTemporaryFile>

// Redirects standard output into a file for as long as it lives, so that a test can read the
// log lines the code under test printed. Restores standard output on destruction.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every line written since the capture began.
    QStringList lines() const;
    QStringList linesStartingWith(const QStringList& prefixes) const { return ::linesStartingWith(lines(), prefixes); }

private:
    QTemporaryFile m_file;
    int m_savedStdout = -1;
};
